// States of the two 360° views: the live conversion view during a real 360°
// extraction of a generated equirectangular video, and the inspector over
// the main window with both layouts and the masks of a standing figure.
// Each state keeps its files in a temporary folder of its own.
#include <QCheckBox>
#include <QTemporaryDir>

#include <stdexcept>

#include "ShotState.hpp"
#include "core/PreferenceStore.hpp"
#include "generators/PanoramaVideo.hpp"
#include "viewmodel/DialogService.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/Conversion360LiveView.hpp"
#include "views/Inspector360View.hpp"
#include "views/MainDashboardView.hpp"
#include "views/MainWindow.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::shots {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using viewmodel::PipelineViewModel;

// Answers the run's output-folder panel with one folder; nothing else is asked.
class FolderAnswer : public viewmodel::DialogService {
public:
    explicit FolderAnswer(std::filesystem::path folder) : folder_(std::move(folder)) {}
    std::optional<std::filesystem::path> open(const OpenRequest&) override { return folder_; }
    std::optional<std::filesystem::path> save(const SaveRequest&) override { return std::nullopt; }
    bool confirm(const QString&, const QString&, const QString&) override { return true; }
    void message(const QString& title, const QString& text) override {
        throw std::runtime_error((title + ": " + text).toStdString());
    }

private:
    std::filesystem::path folder_;
};

// A view model with a support folder of its own, and a generated 360° video
// chosen as its input.
struct Stage360 {
    std::shared_ptr<QTemporaryDir> folder = std::make_shared<QTemporaryDir>();
    std::shared_ptr<PipelineViewModel> model;

    explicit Stage360(tessaron::generators::PanoramaVideo video) {
        if (!folder->isValid()) throw std::runtime_error("no temporary folder");
        const std::filesystem::path root = folder->path().toStdString();
        PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = uint64_t(32) << 30;
        configuration.manager.supportFolder = root / "support";
        model = std::make_shared<PipelineViewModel>(configuration);
        video.write(root / "pano360.avi");
        model->selectInput(root / "pano360.avi", true);
        if (!waitUntil([this] { return !model->isAnalyzingInput(); }))
            throw std::runtime_error("the video's analysis did not end");
    }
    std::filesystem::path root() const { return folder->path().toStdString(); }

    // The window goes first, then the model (which cancels its run), then the files.
    std::shared_ptr<QWidget> release(std::shared_ptr<QWidget> window, std::shared_ptr<void> keep = {}) {
        return std::shared_ptr<QWidget>(window.get(), [window, keep, model = model, folder = folder](QWidget*) mutable {
            window.reset();
            keep.reset();
            model.reset();
        });
    }
};

// A real 360° run of a generated video, shown by the conversion view alone
// or by the main window, photographed at its third rig frame.
std::shared_ptr<QWidget> conversionDuringARun(bool inWindow, QSize windowSize = QSize(1280, 800)) {
    tessaron::generators::PanoramaVideo video;
    video.frameCount = 120;
    video.framesPerSecond = 30;
    video.degreesPerFrame = 1.5;
    Stage360 stage(video);
    PipelineViewModel& model = *stage.model;
    model.setDialogService(std::make_shared<FolderAnswer>(stage.root()));
    ModelAccess::setFreeSpaceProbe(
        model, [](const std::filesystem::path&) { return std::optional<uint64_t>(uint64_t(1) << 40); });
    model.setTreatAs360(true);
    model.setPersonMaskMode(input::PersonMaskMode::off);
    model.setFrameExtractionRate(10);
    std::shared_ptr<QWidget> view;
    auto defaults = afterTourDefaults();
    if (inWindow) {
        view = std::make_shared<views::MainWindow>(model, *defaults, views::ModelOperations::standard(),
                                                   views::ApplicationActions{});
        view->resize(windowSize);
    } else {
        view = std::make_shared<views::Conversion360LiveView>(model);
        view->resize(1100, 720);
    }
    view->show();
    model.startNewRun();
    if (!ModelAccess::hasActiveTask(model)) throw std::runtime_error("the 360° run did not start");
    if (!waitUntil([&] { return model.conversionPreview() && model.conversionPreview()->extractedFrames >= 3; }, 120))
        throw std::runtime_error("no third rig frame came");
    waitUntil([] { return false; }, 0.6);  // the tiles' appearing animation
    return stage.release(view, defaults);
}

const ShotState::Registration conversion({"conversion-360-live",
                                          "a real 360° extraction of a generated video: frame, 16 crops, counters",
                                          [] { return conversionDuringARun(false); }});
const ShotState::Registration conversionInWindow({"main-360-conversion",
                                                  "the main window during a real 360° extraction",
                                                  [] { return conversionDuringARun(true); }});
const ShotState::Registration conversionInSmallWindow({"main-360-conversion-min",
                                                       "the same in the smallest window: the crops in two rows",
                                                       [] { return conversionDuringARun(true, QSize(900, 600)); }});

const ShotState::Registration conversionStarting({"conversion-360-starting", "the conversion view before its first frame", [] {
    auto folder = std::make_shared<QTemporaryDir>();
    PipelineViewModel::Configuration configuration;
    configuration.manager.supportFolder = folder->path().toStdString();
    auto model = std::make_shared<PipelineViewModel>(configuration);
    auto view = std::make_shared<views::Conversion360LiveView>(*model);
    view->resize(900, 560);
    view->show();
    return std::shared_ptr<QWidget>(view.get(), [view, model, folder](QWidget*) mutable {
        view.reset();
        model.reset();
    });
}});

// The main window with the inspector open on the generated video.
std::shared_ptr<QWidget> inspector(input::CropLayoutPreset preset, bool withInput, std::optional<int> selected) {
    // Wide enough to be recognised as likely equirectangular by its shape.
    tessaron::generators::PanoramaVideo video;
    video.width = 3840;
    video.height = 1920;
    video.frameCount = 4;
    Stage360 stage(video);
    PipelineViewModel& model = *stage.model;
    if (!withInput) model.setSelectedInputURL(std::nullopt);
    model.setPersonMaskMode(input::PersonMaskMode::allPeople);
    model.setCropLayoutPreset(preset);
    auto defaults = afterTourDefaults();
    auto window = std::make_shared<views::MainWindow>(model, *defaults, views::ModelOperations::standard(),
                                                      views::ApplicationActions{});
    window->resize(1280, 860);
    window->show();
    model.setShow360Inspector(true);
    auto* view = qobject_cast<views::Inspector360View*>(window->dashboard().inspector());
    if (!view) throw std::runtime_error("the dashboard shows no 360° inspector");
    if (!waitUntil([view] { return !view->isLoading(); }, 120)) throw std::runtime_error("the crops did not render");
    if (withInput) {
        if (view->loadError()) throw std::runtime_error(view->loadError()->toStdString());
        view->findChild<QCheckBox*>()->setChecked(true);
        if (selected) view->toggleSelection(*selected);
    }
    return stage.release(window, defaults);
}

const ShotState::Registration inspectorSphere(
    {"inspector-360-sphere", "the inspector: 16 crop footprints, the figure's masks shown",
     [] { return inspector(input::CropLayoutPreset::fullSphere16, true, std::nullopt); }});
const ShotState::Registration inspectorHorizontal(
    {"inspector-360-horizontal", "the inspector: 8 horizon crops, cam0 selected, masks shown",
     [] { return inspector(input::CropLayoutPreset::horizontal8, true, 0); }});
const ShotState::Registration inspectorNoInput({"inspector-360-no-input", "the inspector without an input",
                                                [] { return inspector(input::CropLayoutPreset::fullSphere16, false, std::nullopt); }});

}  // namespace
}  // namespace tessaron::shots
