#pragma once

#include <stdexcept>
#include <string>

namespace tessaron::core {

// Base of every error the system throws. Each component nests its own
// subclass (usually ErrorOf<Kind>) whose what() is the exact user-facing text.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description) : std::runtime_error(description) {}
};

// An error with one enumerator per case, as the components declare them.
template <typename KindType>
class ErrorOf : public Error {
public:
    using Kind = KindType;
    ErrorOf(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// The one cancellation error of the system: thrown when a latched runner is
// asked to launch, or when a cancelled operation stops at a boundary.
class CancellationError : public Error {
public:
    CancellationError() : Error("The operation was cancelled.") {}
};

}  // namespace tessaron::core
