#pragma once

#include <functional>

namespace tessaron::core {

// Runs a work item somewhere else: the app layer passes one that posts to the
// Qt event loop ("hop to the main thread"); tests pass one that runs inline
// or on a queue of their own.
using Executor = std::function<void(std::function<void()>)>;

inline Executor inlineExecutor() {
    return [](std::function<void()> work) { work(); };
}

}  // namespace tessaron::core
