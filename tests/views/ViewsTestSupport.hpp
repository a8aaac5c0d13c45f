#pragma once

// The window's tests: settings and data folders in a temporary folder of
// the program, each view model with a support folder of its own, and a way
// to keep a real engine child running inside an operation of the model.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QWheelEvent>

#include <atomic>
#include <memory>
#include <string>

#include "core/Error.hpp"
#include "pipeline/PipelineTestSupport.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/PipelineViewModel.hpp"
// PrivateUserFolders: the settings and data folders in a temporary folder.
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

// `notches` of a mouse wheel (positive: away from the user) over the
// middle of `widget`, marked as coming from the window system: Qt hands a
// wheel that a widget ignores on to its parents, as for a real wheel.
inline void turnWheel(QWidget* widget, int notches) {
    const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    QWheelEvent wheel(at, widget->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&wheel);
    // As QTest delivers its keys: sendEvent() would take the mark away.
    qApp->notify(widget, &wheel);
}

inline std::unique_ptr<viewmodel::PipelineViewModel> makeViewModel(const TempDir& support) {
    viewmodel::PipelineViewModel::Configuration configuration;
    configuration.physicalMemoryBytes = gibibytes(16);
    configuration.manager.supportFolder = support.path();
    return std::make_unique<viewmodel::PipelineViewModel>(configuration);
}

// A shell line for the engine's child: `sleep` that ignores SIGTERM (an
// ignored signal stays ignored across exec), so only a kill ends it. Each
// says "ready" once it is what it claims to be: a SIGTERM before the trap
// would end the stubborn one too.
inline const char* const stubbornChild = "trap '' TERM; echo ready; exec sleep 30";
inline const char* const politeChild = "echo ready; exec sleep 30";

// Starts an operation on `model` whose body runs `script` as the COLMAP
// runner's child, as a run does; returns once the child is running and has
// said "ready".
inline void startChildOperation(viewmodel::PipelineViewModel& model, const std::string& script) {
    auto ready = std::make_shared<std::atomic<bool>>(false);
    model.setHasActiveOperation(true);
    ModelAccess::runTrackedOperation(model, [manager = model.pipelineManager(), script, ready](std::stop_token) {
        try {
            pipeline::PipelineManagerTestAccess::colmapRunner(*manager).runner().run(
                {.executablePath = "/bin/sh", .arguments = {"-c", script}},
                [ready](const std::string& line) {
                    if (line == "ready") ready->store(true);
                });
        } catch (const core::CancellationError&) {
            // Cancelled before the launch: nothing ran.
        }
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ready->load() && model.pipelineManager()->isProcessRunning(); }, 30000));
}

}  // namespace tessaron::testing
