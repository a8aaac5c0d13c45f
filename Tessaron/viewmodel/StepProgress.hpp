#pragma once

#include <string>

namespace tessaron::viewmodel {

// The status of one workflow step as the step bar draws it. A fraction is
// kept as computed (it may pass 1 while a counter runs ahead of its
// estimate); the view clamps it to 0…1 when it draws.
struct StepProgress {
    enum class Kind {
        none,           // nothing to show
        indeterminate,  // running, amount unknown
        done,
        fraction,       // running, `value` of the work done
    };

    Kind kind = Kind::none;
    double value = 0;  // fraction only

    static StepProgress none() { return {Kind::none, 0}; }
    static StepProgress indeterminate() { return {Kind::indeterminate, 0}; }
    static StepProgress done() { return {Kind::done, 0}; }
    static StepProgress fraction(double value) { return {Kind::fraction, value}; }

    friend bool operator==(const StepProgress& a, const StepProgress& b) {
        return a.kind == b.kind && (a.kind != Kind::fraction || a.value == b.value);
    }
};

// "none", "indeterminate", "done" or "fraction(0.375)".
std::string toString(const StepProgress& progress);

}  // namespace tessaron::viewmodel
