#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "spz/SPZError.hpp"

namespace spz::testing {

// The SPZError an action throws; a test failure when it throws none.
inline SPZError errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const SPZError& error) {
        return error;
    }
    ADD_FAILURE() << "no SPZError thrown";
    return SPZError::invalidData("none thrown");
}

inline SPZError::Kind kindOf(const std::function<void()>& action) { return errorOf(action).kind(); }

}  // namespace spz::testing
