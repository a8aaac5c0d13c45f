// States of the main window. Each builds the real window on a view model put
// into the state, with a settings store and support folder of its own, so
// nothing the user keeps is read or written.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QTemporaryDir>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "ShotState.hpp"
#include "core/PreferenceStore.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "services/ServiceEndpoints.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/MainDashboardView.hpp"
#include "views/MainWindow.hpp"
#include "views/SettingsView.hpp"
#include "views/StatusPillView.hpp"
#include "views/StepBackgroundView.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::shots {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using viewmodel::PipelineViewModel;
using Kind = pipeline::PipelineState::Kind;

constexpr int windowWidth = 1280;
constexpr int windowHeight = 800;

constexpr int smallestWidth = 900;
constexpr int smallestHeight = 600;

struct MainWindowStage {
    std::shared_ptr<QTemporaryDir> folder = std::make_shared<QTemporaryDir>();
    std::shared_ptr<core::InMemoryPreferenceStore> defaults = afterTourDefaults();
    std::shared_ptr<PipelineViewModel> model;
    std::shared_ptr<views::MainWindow> window;

    explicit MainWindowStage(const std::function<void(core::PreferenceStore&)>& presets = {},
                             QSize size = QSize(windowWidth, windowHeight)) {
        if (!folder->isValid()) throw std::runtime_error("no temporary folder");
        if (presets) presets(*defaults);
        PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = uint64_t(32) << 30;
        configuration.manager.supportFolder = folder->path().toStdString();
        model = std::make_shared<PipelineViewModel>(configuration);
        window = std::make_shared<views::MainWindow>(*model, *defaults, views::ModelOperations::standard(),
                                                     views::ApplicationActions{});
        window->resize(size);
        window->show();
    }

    views::MainDashboardView& dashboard() const { return window->dashboard(); }

    std::shared_ptr<QWidget> release() {
        // The window goes before the model it shows.
        return std::shared_ptr<QWidget>(window.get(), [window = window, model = model, defaults = defaults,
                                                       folder = folder](QWidget*) mutable {
            window.reset();
            model.reset();
        });
    }
};

ShotState::Registration stateShot(std::string name, std::string description,
                                  std::function<void(PipelineViewModel&)> prepare) {
    return ShotState::Registration({std::move(name), std::move(description), [prepare] {
                                        MainWindowStage stage;
                                        prepare(*stage.model);
                                        return stage.release();
                                    }});
}

const auto idle = stateShot("main-idle", "a fresh window: the Input step, nothing running", [](PipelineViewModel&) {});

const auto extracting = stateShot("main-extracting", "frames being extracted from a video", [](PipelineViewModel& model) {
    model.setExtractionTotal(400);
    model.setExtractionCurrent(120);
    model.setCurrentState(Kind::extractingFrames);
});

const auto sfm = stateShot("main-sfm", "COLMAP running: the SfM step", [](PipelineViewModel& model) {
    model.setSfmTotalImages(120);
    model.setSfmRegisteredImages(30);
    model.setCurrentState(Kind::processingSfM);
});

const auto planning = stateShot("main-planning", "the partition being planned", [](PipelineViewModel& model) {
    model.setCurrentState(Kind::preparingData);
});

const auto approval = stateShot("main-awaiting-approval", "a partition plan waiting for approval",
                                [](PipelineViewModel& model) { model.setCurrentState(Kind::awaitingPartitionApproval); });

const auto materializing = stateShot("main-materializing", "cells being written: 3 of 12", [](PipelineViewModel& model) {
    model.setMaterializationTotalCells(12);
    model.setMaterializedCellCount(3);
    model.setCurrentState(Kind::materializingCells);
});

const auto training = stateShot("main-training", "training cell 2 of 4 at iteration 1500", [](PipelineViewModel& model) {
    model.setTotalCells(4);
    model.setCurrentCellIndex(2);
    model.setIteration(1500);
    model.setCurrentState(Kind::training);
});

const auto cancelling = stateShot("main-cancelling", "a training run after Cancel: the button reads \"Cancelling…\"",
                                  [](PipelineViewModel& model) {
                                      model.setIteration(1500);
                                      model.setCurrentState(Kind::training);
                                      model.setIsCancelling(true);
                                  });

const auto exporting = stateShot("main-exporting", "the model being exported", [](PipelineViewModel& model) {
    model.setCurrentState(Kind::exporting);
});

const auto failed = stateShot("main-failed", "a run that failed: the Final step", [](PipelineViewModel& model) {
    model.setCurrentState(pipeline::PipelineState::error("COLMAP feature extraction failed (exit 1)"));
});

const auto completed = stateShot("main-completed", "a finished run: the Final step", [](PipelineViewModel& model) {
    model.setCurrentState(Kind::completed);
});

const auto logDrawer = stateShot("main-log-drawer", "the log drawer open", [](PipelineViewModel& model) {
    model.setIsLogMenuExpanded(true);
});

const ShotState::Registration collapsed({"main-collapsed", "the step menu hidden: its \"›\" tab at the left edge", [] {
                                             MainWindowStage stage;
                                             stage.dashboard().setMenuCollapsed(true);
                                             waitUntil([] { return false; }, 0.6);
                                             return stage.release();
                                         }});

const ShotState::Registration widest({"main-menu-stored-too-wide", "a stored menu width of 9000 shows as 560", [] {
                                          MainWindowStage stage([](core::PreferenceStore& defaults) {
                                              defaults.setString(views::MainDashboardView::menuWidthKey, "9000");
                                          });
                                          return stage.release();
                                      }});

const ShotState::Registration banner({"main-update-banner", "an update on offer, with release notes", [] {
                                          MainWindowStage stage;
                                          stage.dashboard().setUpdateOffer(views::UpdateOffer{
                                              "1.4.0", 57, QUrl("https://updates.tessaron.example/Tessaron-1.4.0.tar.gz"),
                                              QUrl("https://updates.tessaron.example/notes/1.4.0")});
                                          return stage.release();
                                      }});

const ShotState::Registration hostileBanner(
    {"main-update-banner-hostile-version", "a feed's 60,000-character version with a link in it, cut short as plain text",
     [] {
         MainWindowStage stage;
         stage.dashboard().setUpdateOffer(views::UpdateOffer{
             QStringLiteral("<a href=\"https://elsewhere.example/\">1.4</a>") + QString(60000, QLatin1Char('9')), 57,
             QUrl("https://updates.tessaron.example/Tessaron-1.4.0.tar.gz"), std::nullopt});
         return stage.release();
     }});

const ShotState::Registration settings({"settings", "the Settings window", [] {
                                            auto defaults = std::make_shared<core::InMemoryPreferenceStore>();
                                            auto view = std::make_shared<views::SettingsView>(
                                                *defaults, services::ServiceEndpoints::standard().feedURL.host());
                                            view->show();
                                            return std::shared_ptr<QWidget>(
                                                view.get(), [view, defaults](QWidget*) mutable { view.reset(); });
                                        }});

// ---- The dashboard's frame: every step idle and busy (drawer open), the
// Final viewer with a model, the drop frame and hint, a long log.

using viewmodel::WorkflowStep;

// Lines as an engine writes them, numbered from `from`.
QString engineLines(const char* format, int from, int count) {
    QString text;
    for (int line = from; line < from + count; ++line) text += QString::fromUtf8(format).arg(line) + QLatin1Char('\n');
    return text;
}

ShotState::Registration dashboardShot(std::string name, std::string description,
                                      std::function<void(MainWindowStage&)> prepare) {
    return ShotState::Registration({std::move(name), std::move(description), [prepare] {
                                        MainWindowStage stage;
                                        prepare(stage);
                                        // Let the panels settle and the spinners turn once.
                                        waitUntil([] { return false; }, 0.3);
                                        return stage.release();
                                    }});
}

ShotState::Registration idleStepShot(const char* name, WorkflowStep step) {
    return dashboardShot(name, "nothing running, the " + viewmodel::toString(step) + " step picked on the step bar",
                         [step](MainWindowStage& stage) { stage.dashboard().selectStep(step); });
}

const auto sfmIdle = idleStepShot("dashboard-sfm-idle", WorkflowStep::sfm);
const auto planningIdle = idleStepShot("dashboard-planning-idle", WorkflowStep::planning);
const auto trainingIdle = idleStepShot("dashboard-training-idle", WorkflowStep::training);
const auto finalIdle = idleStepShot("dashboard-final-idle", WorkflowStep::final);

const auto inputBusy = dashboardShot("dashboard-input-busy", "frames being extracted, the drawer open on their log",
                                     [](MainWindowStage& stage) {
                                         auto& model = *stage.model;
                                         model.setExtractionTotal(400);
                                         model.setExtractionCurrent(120);
                                         model.setExtractionLog(engineLines("Extracted frame %1 (sharpness 81.2)", 1, 40));
                                         model.setIsLogMenuExpanded(true);
                                         model.setCurrentState(Kind::extractingFrames);
                                     });

const auto sfmBusy = dashboardShot("dashboard-sfm-busy", "COLMAP registering images, the drawer open on its log",
                                   [](MainWindowStage& stage) {
                                       auto& model = *stage.model;
                                       model.setSfmTotalImages(120);
                                       model.setSfmRegisteredImages(45);
                                       model.setSfmLog(engineLines("Registering image #%1 (45)", 1, 60));
                                       model.setIsLogMenuExpanded(true);
                                       model.setCurrentState(Kind::processingSfM);
                                   });

const auto planningBusy = dashboardShot("dashboard-planning-busy", "cells being written, the drawer open on the plan's log",
                                        [](MainWindowStage& stage) {
                                            auto& model = *stage.model;
                                            model.setMaterializationTotalCells(12);
                                            model.setMaterializedCellCount(3);
                                            model.setDataPrepLog(engineLines("Cell %1: 48210 points, 212 images", 1, 12));
                                            model.setIsLogMenuExpanded(true);
                                            model.setCurrentState(Kind::materializingCells);
                                        });

const auto trainingBusy = dashboardShot("dashboard-training-busy", "cell 2 of 4 training, the drawer open on its log",
                                        [](MainWindowStage& stage) {
                                            auto& model = *stage.model;
                                            model.setTotalCells(4);
                                            model.setCurrentCellIndex(2);
                                            model.setIteration(1500);
                                            model.setEngineRamString(QStringLiteral("3.4 GB"));
                                            model.setTrainingLog(
                                                engineLines("[trevik] step %1 splats 412003 ms/step 41.2", 1400, 100));
                                            model.setIsLogMenuExpanded(true);
                                            model.setCurrentState(Kind::training);
                                        });

const auto finalBusy = dashboardShot("dashboard-final-busy", "the model being exported, the drawer open on the export log",
                                     [](MainWindowStage& stage) {
                                         auto& model = *stage.model;
                                         model.setExportLog(engineLines("Merging cell %1 of 4", 1, 4));
                                         model.setIsLogMenuExpanded(true);
                                         model.setCurrentState(Kind::exporting);
                                     });

// A finished run whose output.ply the Final viewer has drawn.
void completeWithSampleModel(MainWindowStage& stage) {
    const auto file = std::filesystem::path(stage.folder->path().toStdString()) / "output.ply";
    writeSampleModel(file);
    stage.model->setOutputPlyPath(QString::fromStdString(file.string()));
    stage.model->setCurrentState(Kind::completed);
    waitUntil([&] { return stage.dashboard().finalViewer().stats().gaussianCount > 0; });
}

const auto finalModel = dashboardShot("dashboard-final-model", "a finished run's model in the Final step's viewer",
                                      [](MainWindowStage& stage) { completeWithSampleModel(stage); });

const auto longLog = dashboardShot("dashboard-long-log", "a 4,000-line COLMAP log in the drawer: its last lines in view",
                                   [](MainWindowStage& stage) {
                                       auto& model = *stage.model;
                                       model.setIsLogMenuExpanded(true);
                                       model.setCurrentState(Kind::processingSfM);
                                       model.setSfmLog(engineLines("Processed file [%1/4000]", 1, 2000));
                                       waitUntil([] { return false; }, 0.1);
                                       model.setSfmLog(engineLines("Processed file [%1/4000]", 1, 4000));
                                   });

const auto dropFrame = dashboardShot("dashboard-drop-frame", "a folder dragged over the window", [](MainWindowStage& stage) {
    // The drag stays over the pane for the picture; its data must outlive it.
    static QMimeData data;
    data.setUrls({QUrl::fromLocalFile(stage.folder->path())});
    auto* pane = stage.dashboard().centrePane();
    QDragEnterEvent enter(pane->rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(pane, &enter);
});

const auto dropHint = dashboardShot("dashboard-drop-hint", "a text file dropped: the hint at the bottom",
                                    [](MainWindowStage& stage) {
                                        stage.dashboard().centrePane()->showTransientHint(
                                            views::StepBackgroundView::otherHint);
                                    });

// The smallest window with the menu at its widest: the messages and hints
// wrap in the little room the menu leaves.
ShotState::Registration narrowShot(std::string name, std::string description,
                                   std::function<void(MainWindowStage&)> prepare) {
    return ShotState::Registration({std::move(name), std::move(description), [prepare] {
                                        MainWindowStage stage(
                                            [](core::PreferenceStore& defaults) {
                                                defaults.setString(views::MainDashboardView::menuWidthKey, "560");
                                            },
                                            QSize(smallestWidth, smallestHeight));
                                        prepare(stage);
                                        waitUntil([] { return false; }, 0.3);
                                        return stage.release();
                                    }});
}

const auto narrowIdle = narrowShot("main-idle-min", "the smallest window, the menu at its widest: the drop hint",
                                   [](MainWindowStage&) {});
const auto narrowFinal = narrowShot("dashboard-final-idle-min", "the same, the Final step's message",
                                    [](MainWindowStage& stage) { stage.dashboard().selectStep(WorkflowStep::final); });
const auto narrowSfm = narrowShot("main-sfm-min", "the same, COLMAP running: the step bar and log button over the black pane",
                                  [](MainWindowStage& stage) {
                                      stage.model->setSfmTotalImages(120);
                                      stage.model->setSfmRegisteredImages(30);
                                      stage.model->setCurrentState(Kind::processingSfM);
                                  });
const auto narrowHint = narrowShot("dashboard-drop-hint-min", "the same, a text file dropped: the hint",
                                   [](MainWindowStage& stage) {
                                       stage.dashboard().centrePane()->showTransientHint(
                                           views::StepBackgroundView::otherHint);
                                   });
const auto narrowDrop = narrowShot("dashboard-drop-frame-min", "the same, a folder dragged over the window",
                                   [](MainWindowStage& stage) {
                                       static QMimeData data;
                                       data.setUrls({QUrl::fromLocalFile(stage.folder->path())});
                                       auto* pane = stage.dashboard().centrePane();
                                       QDragEnterEvent enter(pane->rect().center(), Qt::CopyAction, &data,
                                                             Qt::LeftButton, Qt::NoModifier);
                                       QApplication::sendEvent(pane, &enter);
                                   });

const auto busyHint = dashboardShot("dashboard-busy-hint", "a folder dropped during training: the busy hint",
                                    [](MainWindowStage& stage) {
                                        stage.model->setIteration(1500);
                                        stage.model->setCurrentState(Kind::training);
                                        stage.dashboard().centrePane()->showTransientHint(
                                            views::StepBackgroundView::busyHint);
                                    });


// ---- The window after Cancel: a run driven to a stage, cancelled with the
// pill's button and left to end as the driver ends it ("Pipeline
// cancelled." as its last line), then shown as the view model leaves it.

namespace fs = std::filesystem;
using pipeline::PipelineLogStep;

// A stage of a stand-in driver: on the run's worker it moves the model to
// `state` with `prepare`, writes `lines` to the log of `step`, waits for
// the cancel and logs the driver's last line.
struct CancelledStage {
    PipelineLogStep step;
    std::vector<std::string> lines;
    std::function<void(PipelineViewModel&)> prepare;
};

void runAndCancel(MainWindowStage& stage, const CancelledStage& script) {
    PipelineViewModel& model = *stage.model;
    model.setIsLogMenuExpanded(true);
    model.setHasActiveOperation(true);
    ModelAccess::beginRunReport(model, "New run", "Photo folder", model.settingsSummary());
    ModelAccess::startLogFlushTimer(model);
    auto reached = std::make_shared<std::atomic<bool>>(false);
    ModelAccess::runTrackedOperation(
        model, [&model, post = model.executor(), script, reached](std::stop_token stopToken) {
        // As the driver's callbacks do: every change on the main thread.
        post([&model, script, reached] {
            script.prepare(model);
            model.updateRunReport();
            *reached = true;
        });
        for (const std::string& line : script.lines) ModelAccess::ingestLogLine(model, script.step, line);
        std::mutex lock;
        std::condition_variable_any stopped;
        std::unique_lock hold(lock);
        stopped.wait(hold, stopToken, [] { return false; });
        ModelAccess::ingestLogLine(model, script.step, "Pipeline cancelled.");
    });
    if (!waitUntil([&] { return reached->load(); })) throw std::runtime_error("the run did not start");
    waitUntil([] { return false; }, 0.3);
    emit stage.dashboard().statusPill()->cancelClicked();
    if (!waitUntil([&] { return model.cancelledRun().has_value(); })) throw std::runtime_error("the run did not end");
}

std::vector<std::string> numberedLines(const char* format, int from, int count) {
    std::vector<std::string> lines;
    for (int line = from; line < from + count; ++line) lines.push_back(QString::fromUtf8(format).arg(line).toStdString());
    return lines;
}

// A reconstruction of a square field: points on a 60 × 60 grid with a
// little relief, seen by four cameras.
void writeGridModel(const fs::path& sparse) {
    colmap::Point3DMap points;
    uint64_t id = 1;
    for (int row = 0; row < 60; ++row)
        for (int column = 0; column < 60; ++column, ++id) {
            colmap::Point3DModel point;
            point.point3D_id = id;
            point.x = -15 + 0.5 * column;
            point.z = -15 + 0.5 * row;
            point.y = -0.5 * std::sin(0.3 * column) * std::cos(0.2 * row);
            point.r = uint8_t(90 + column);
            point.g = uint8_t(110 + row);
            point.b = 140;
            points[id] = point;
        }
    colmap::COLMAPUtils::writeModel(sampleCameras(), sampleImages(4), points, sparse);
}

const auto cancelledCOLMAP = dashboardShot(
    "main-cancelled-colmap", "COLMAP cancelled from the pill: the SfM step says so, its log stays in the drawer",
    [](MainWindowStage& stage) {
        std::vector<std::string> lines = {"═══ COLMAP: feature extraction ═══"};
        for (const std::string& line : numberedLines("Processed file [%1/120]", 1, 120)) lines.push_back(line);
        lines.push_back("═══ COLMAP: incremental mapping ═══");
        for (const std::string& line : numberedLines("Registering image #%1 (%1)", 1, 30)) lines.push_back(line);
        runAndCancel(stage, {PipelineLogStep::sfm, lines, [folder = stage.folder](PipelineViewModel& model) {
                                 model.setCurrentWorkspaceURL(fs::path(folder->path().toStdString()) /
                                                              "Tessaron_workspace");
                                 model.setSfmTotalImages(120);
                                 model.setSfmRegisteredImages(30);
                                 model.setCurrentState(Kind::processingSfM);
                             }});
    });

const auto cancelledFinal = dashboardShot(
    "main-cancelled-final", "the Final step after COLMAP was cancelled: how the run ended, no waiting",
    [](MainWindowStage& stage) {
        runAndCancel(stage, {PipelineLogStep::sfm, numberedLines("Processed file [%1/120]", 1, 40),
                             [folder = stage.folder](PipelineViewModel& model) {
                                 model.setCurrentWorkspaceURL(fs::path(folder->path().toStdString()) /
                                                              "Tessaron_workspace");
                                 model.setCurrentState(Kind::processingSfM);
                             }});
        stage.model->setIsLogMenuExpanded(false);
        stage.dashboard().selectStep(viewmodel::WorkflowStep::final);
    });

const auto cancelledTraining = dashboardShot(
    "main-cancelled-training", "training cell 2 of 4 cancelled from the pill: the Training panel keeps its counters",
    [](MainWindowStage& stage) {
        // The run's reconstruction, which the centre pane shows under the cells.
        const fs::path workspace = fs::path(stage.folder->path().toStdString()) / "Tessaron_workspace";
        writeGridModel(workspace / "colmap" / "sparse" / "0");
        runAndCancel(stage,
                     {PipelineLogStep::training, numberedLines("[trevik] step %1 splats 412003 ms/step 41.2", 1400, 100),
                      [workspace](PipelineViewModel& model) {
                          model.setCurrentWorkspaceURL(workspace);
                          model.setTotalCells(4);
                          model.setCurrentCellIndex(2);
                          model.setCompletedCellDurations({312.0});
                          model.setCurrentCellTargetIterations(30000);
                          model.setIteration(1500);
                          model.setSplatCount(412003);
                          model.setMsPerStep(41.2f);
                          model.setCurrentState(Kind::training);
                      }});
    });

// ---- The window after a failure: a run driven to a stage that fails as
// the driver fails it (its lines, then its error line in the same log,
// then the error state), shown as the view model leaves it.

struct FailedStage {
    PipelineLogStep step;
    std::vector<std::string> lines;
    std::string error;
    std::function<void(PipelineViewModel&)> prepare;
};

void runAndFail(MainWindowStage& stage, const FailedStage& script) {
    PipelineViewModel& model = *stage.model;
    model.setHasActiveOperation(true);
    ModelAccess::beginRunReport(model, "New run", "Photo folder", model.settingsSummary());
    ModelAccess::startLogFlushTimer(model);
    ModelAccess::runTrackedOperation(model, [&model, post = model.executor(), script](std::stop_token) {
        post([&model, script] {
            script.prepare(model);
            model.updateRunReport();
        });
        for (const std::string& line : script.lines) ModelAccess::ingestLogLine(model, script.step, line);
        post([&model, script] {
            // The line is in the buffer before the state, as the driver has it.
            ModelAccess::ingestLogLine(model, script.step, script.error);
            model.setCurrentState(pipeline::PipelineState::error(script.error));
            model.updateRunReport();
        });
    });
    if (!waitUntil([&] { return !model.hasActiveOperation() && model.failedRun().has_value(); }))
        throw std::runtime_error("the run did not fail");
}

FailedStage colmapFailure(const std::shared_ptr<QTemporaryDir>& folder) {
    std::vector<std::string> lines = {"═══ COLMAP: feature extraction ═══"};
    for (const std::string& line : numberedLines("Processed file [%1/3]", 1, 3)) lines.push_back(line);
    lines.push_back("═══ COLMAP: incremental mapping ═══");
    lines.push_back("WARNING: No images with matches found in the database.");
    lines.push_back("ERROR: failed to create sparse model");
    return {PipelineLogStep::sfm, lines, "Sparse reconstruction failed (exit 1): failed to create sparse model",
            [folder](PipelineViewModel& model) {
                model.setCurrentWorkspaceURL(fs::path(folder->path().toStdString()) / "Tessaron_workspace");
                model.setSfmTotalImages(3);
                model.setCurrentState(Kind::processingSfM);
            }};
}

const auto failedCOLMAP = dashboardShot(
    "main-failed-colmap", "COLMAP failed: the Final step names the step, the drawer shows COLMAP's log",
    [](MainWindowStage& stage) {
        stage.model->setIsLogMenuExpanded(true);
        runAndFail(stage, colmapFailure(stage.folder));
    });

const auto failedTraining = dashboardShot(
    "main-failed-training", "the trainer failed: the Final step's text for training, the drawer on the training log",
    [](MainWindowStage& stage) {
        stage.model->setIsLogMenuExpanded(true);
        runAndFail(stage, {PipelineLogStep::training, numberedLines("[trevik] step %1 splats 412003 ms/step 41.2", 1, 40),
                           "trevik training failed (exit 1)", [](PipelineViewModel& model) {
                               model.setIteration(40);
                               model.setEngineRamString(QStringLiteral("1.4 GB"));
                               model.setCurrentState(Kind::training);
                           }});
    });

// A model opened by hand in the Final viewer, then a run that fails at COLMAP.
void failOverModelOpenedByHand(MainWindowStage& stage) {
        const auto file = std::filesystem::path(stage.folder->path().toStdString()) / "earlier.ply";
        writeSampleModel(file);
        stage.dashboard().finalViewer().setUrl(QUrl::fromLocalFile(QString::fromStdString(file.string())));
        stage.dashboard().selectStep(WorkflowStep::final);
        waitUntil([&] { return stage.dashboard().finalViewer().stats().gaussianCount > 0; });
        runAndFail(stage, colmapFailure(stage.folder));
}

const auto failedOverModel = dashboardShot(
    "main-failed-over-model", "COLMAP failed while a model opened by hand was in the viewer: no model behind the failure",
    [](MainWindowStage& stage) {
        failOverModelOpenedByHand(stage);
    });

const auto resetAfterFailure = dashboardShot(
    "main-reset-after-failure", "\"Reset & Try Again\" after a COLMAP failure over a model opened by hand: the Input step",
    [](MainWindowStage& stage) {
        failOverModelOpenedByHand(stage);
        stage.model->resetRunState();
    });

const auto finalAfterReset = dashboardShot(
    "main-final-after-reset", "the Final step picked after a reset: waiting, no figures of the old model",
    [](MainWindowStage& stage) {
        completeWithSampleModel(stage);
        stage.model->resetRunState();
        stage.dashboard().selectStep(WorkflowStep::final);
    });

// Answers every open panel with one folder.
class FolderAnswer : public viewmodel::DialogService {
public:
    explicit FolderAnswer(fs::path folder) : folder_(std::move(folder)) {}
    std::optional<fs::path> open(const OpenRequest&) override { return folder_; }
    std::optional<fs::path> save(const SaveRequest&) override { return std::nullopt; }
    bool confirm(const QString&, const QString&, const QString&) override { return false; }
    void message(const QString&, const QString&) override {}

private:
    fs::path folder_;
};

const auto resumeFromMenu = dashboardShot(
    "main-resume-from-menu", "File > Resume Interrupted Training... from the SfM step: the Input step, the card in view",
    [](MainWindowStage& stage) {
        const fs::path root = fs::path(stage.folder->path().toStdString());
        const fs::path workspace = root / "Tessaron_workspace 2026-12-07 101500";
        writeGridModel(workspace / "colmap" / "sparse" / "0");
        fs::create_directories(workspace / "colmap" / "images");
        for (int cell = 0; cell < 3; ++cell) writeGridModel(workspace / "partitions" / ("cell_" + std::to_string(cell)) / "sparse" / "0");
        std::ofstream(workspace / "partitions" / "partition_plan.json")
            << R"({"cells":[{"id":"cell_0","imageCount":20},{"id":"cell_1","imageCount":20},{"id":"cell_2","imageCount":20}]})";
        fs::create_directories(root / "photos");
        stage.model->setSelectedInputURL(root / "photos");
        stage.model->setDialogService(std::make_shared<FolderAnswer>(workspace));
        stage.dashboard().selectStep(WorkflowStep::sfm);
        waitUntil([] { return false; }, 0.2);
        for (QAction* action : stage.window->commands().fileMenu()->actions())
            if (action->text() == QStringLiteral("Resume Interrupted Training...")) action->trigger();
        waitUntil([] { return false; }, 0.6);
    });

}  // namespace
}  // namespace tessaron::shots
