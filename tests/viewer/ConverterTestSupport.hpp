#pragma once

#include <QTest>

#include <functional>

#include "support/ConverterScripts.hpp"

namespace tessaron::viewer::testing {

namespace fs = std::filesystem;
using tessaron::testing::ScriptedConverter;
using tessaron::testing::writeScene;
using tessaron::testing::writeScript;
using tessaron::testing::writeSlowConverter;

// Runs the Qt event loop until `done` holds, at most `milliseconds`.
inline bool waitFor(const std::function<bool()>& done, int milliseconds = 30000) {
    return QTest::qWaitFor(done, milliseconds);
}

}  // namespace tessaron::viewer::testing
