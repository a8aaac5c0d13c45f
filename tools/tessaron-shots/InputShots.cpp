// States of the Input step's form, each on a view model put into the state
// with a support folder of its own. The window is as tall as the form, so
// every section is in the picture.
#include <QTemporaryDir>

#include <stdexcept>

#include "ShotState.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/InputView.hpp"

namespace tessaron::shots {
namespace {

using viewmodel::PipelineViewModel;

constexpr int formWidth = 520;

struct InputStage {
    std::shared_ptr<QTemporaryDir> folder = std::make_shared<QTemporaryDir>();
    std::shared_ptr<PipelineViewModel> model;
    std::shared_ptr<views::InputView> view;

    explicit InputStage(uint64_t memoryBytes) {
        if (!folder->isValid()) throw std::runtime_error("no temporary folder");
        PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = memoryBytes;
        configuration.manager.supportFolder = folder->path().toStdString();
        model = std::make_shared<PipelineViewModel>(configuration);
    }

    std::shared_ptr<QWidget> show() {
        view = std::make_shared<views::InputView>(*model);
        view->resize(formWidth, 600);
        view->show();
        waitUntil([] { return false; }, 0.1);
        // Tall enough for the whole form.
        view->resize(formWidth, view->widget()->sizeHint().height() + 4);
        waitUntil([] { return false; }, 0.1);
        return std::shared_ptr<QWidget>(view.get(), [view = view, model = model, folder = folder](QWidget*) mutable {
            view.reset();
            model.reset();
        });
    }
};

ShotState::Registration inputShot(std::string name, std::string description,
                                  std::function<void(PipelineViewModel&)> prepare,
                                  uint64_t memoryBytes = uint64_t(16) << 30) {
    return ShotState::Registration({std::move(name), std::move(description), [prepare, memoryBytes] {
                                        InputStage stage(memoryBytes);
                                        prepare(*stage.model);
                                        return stage.show();
                                    }});
}

engines::DatasetProfile profile(int64_t images, int64_t width, int64_t height, bool estimated) {
    engines::DatasetProfile found;
    found.imageCount = images;
    found.nativeWidth = width;
    found.nativeHeight = height;
    found.isEstimated = estimated;
    return found;
}

const auto empty = inputShot("input-empty", "the Input form with no input chosen", [](PipelineViewModel&) {});

const auto photos = inputShot("input-photos", "a photo folder chosen, its analysis done, the advanced settings open",
                              [](PipelineViewModel& model) {
                                  model.setSelectedInputURL("/home/user/captures/garden");
                                  model.setDatasetProfile(profile(185, 4032, 3024, false));
                                  model.setShowAdvanced(true);
                              });

const auto photosNotGiven = inputShot(
    "input-photos-not-given", "a photo folder with a subfolder, a WebP and a name with a backslash: the warning",
    [](PipelineViewModel& model) {
        model.setSelectedInputURL("/home/user/captures/garden");
        model.setDatasetProfile(profile(185, 4032, 3024, false));
        model.setPhotoFolderWarning(QStringLiteral(
            "\u26a0 6 files that look like photos are not given to COLMAP: 4 in a subfolder, which is not read when "
            "the folder itself holds photos (extra/IMG_0201.jpg, extra/IMG_0202.jpg, extra/IMG_0203.jpg and 1 more); "
            "1 with an extension the run does not take, only .bmp, .jpeg, .jpg, .png, .tif and .tiff (IMG_0199.webp); "
            "1 with a name COLMAP would read as a path, as it holds a backslash (back\\slash.jpg)."));
    });

const auto video = inputShot("input-video", "a video chosen, estimated frames, the advanced settings open",
                             [](PipelineViewModel& model) {
                                 model.setSelectedInputURL("/home/user/captures/walkthrough.mp4");
                                 model.setIsInputVideo(true);
                                 model.setDatasetProfile(profile(240, 3840, 2160, true));
                                 model.setShowAdvanced(true);
                             });

const auto everyFrame = inputShot("input-video-every-frame",
                                  "a video with every frame kept: the rate reads \"1 frame\"",
                                  [](PipelineViewModel& model) {
                                      model.setSelectedInputURL("/home/user/captures/walkthrough.mp4");
                                      model.setIsInputVideo(true);
                                      model.setFrameExtractionRate(1);
                                      model.setDatasetProfile(profile(2400, 3840, 2160, true));
                                      model.setShowAdvanced(true);
                                  });

const auto video360 = inputShot(
    "input-360", "a video recognised as 360\u00b0: the warning and the crop layout", [](PipelineViewModel& model) {
        model.setSelectedInputURL("/home/user/captures/plaza_360.mp4");
        model.setIsInputVideo(true);
        model.setDatasetProfile(profile(180, 5760, 2880, true));
        model.setSpherical360Detection(
            input::Spherical360Detection::equirectangular(input::Spherical360Detection::MetadataSource::sv3dEquiBox));
    });

const auto likely360 = inputShot(
    "input-360-likely", "a 2:1 video that may be 360\u00b0: start stays possible", [](PipelineViewModel& model) {
        model.setSelectedInputURL("/home/user/captures/wide.mp4");
        model.setIsInputVideo(true);
        model.setDatasetProfile(profile(90, 3840, 1920, true));
        model.setSpherical360Detection(input::Spherical360Detection::likelyEquirectangular());
        model.setCropLayoutPreset(input::CropLayoutPreset::horizontal8);
    });

const auto colmap =
    inputShot("input-colmap", "COLMAP skipped for an existing, compact reconstruction", [](PipelineViewModel& model) {
        model.setSelectedInputURL("/home/user/captures/garden");
        model.setDatasetProfile(profile(185, 4032, 3024, false));
        model.setSkipSfM(true);
        model.setColmapDataURL("/home/user/captures/garden_colmap");
        model.setSceneAnalysis(engines::SceneAnalysis{1.4, 0.82});
        model.setShowAdvanced(true);
    });

const auto colmapMissing =
    inputShot("input-colmap-none", "COLMAP skipped, no reconstruction chosen yet", [](PipelineViewModel& model) {
        model.setSelectedInputURL("/home/user/captures/garden");
        model.setSkipSfM(true);
        model.setIsAnalyzingInput(true);
    });

const auto custom = inputShot(
    "input-custom-small", "a custom model size below the minimum, on an 8 GB machine",
    [](PipelineViewModel& model) {
        model.setSelectedInputURL("/home/user/captures/garden");
        model.setTrainingCapMax(40000);
        model.setShowAdvanced(true);
    },
    uint64_t(8) << 30);

const auto resume = inputShot("input-resume", "a scanned workspace with three cells trained and one left",
                              [](PipelineViewModel& model) {
                                  pipeline::WorkspaceScanResult scan;
                                  scan.workspaceURL = "/home/user/runs/Tessaron_workspace 2026-12-07 101500";
                                  for (const char* id : {"cell_0", "cell_1", "cell_2"})
                                      scan.cells.push_back({id, pipeline::CellStatus::completed, {}, {}});
                                  scan.missingPlannedCells = {"cell_3"};
                                  scan.downscaleFromLog = 2;
                                  scan.capMaxFromLog = 2000000;
                                  scan.evalFromLog = true;
                                  model.setWorkspaceScanResult(scan);
                              });

}  // namespace
}  // namespace tessaron::shots
