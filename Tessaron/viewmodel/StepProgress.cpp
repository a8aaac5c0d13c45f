#include "viewmodel/StepProgress.hpp"

#include "core/NumberText.hpp"

namespace tessaron::viewmodel {

std::string toString(const StepProgress& progress) {
    switch (progress.kind) {
    case StepProgress::Kind::none: return "none";
    case StepProgress::Kind::indeterminate: return "indeterminate";
    case StepProgress::Kind::done: return "done";
    case StepProgress::Kind::fraction: return "fraction(" + core::shortestText(progress.value) + ")";
    }
    return "none";
}

}  // namespace tessaron::viewmodel
