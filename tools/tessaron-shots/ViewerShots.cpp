// States of the splat viewer: a model of 50,000 splats written as a
// Gaussian PLY and opened the way the window opens a result. The model is
// a ball coloured by its surface direction (x red, up green, towards the
// viewer blue) standing on a grey floor, so the picture shows at a glance
// which way is up and where the camera looks from.
#include <QTemporaryDir>

#include <cmath>
#include <random>
#include <stdexcept>

#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "ShotState.hpp"
#include "generators/HeavySplatScene.hpp"
#include "viewer/SplatRendererView.hpp"

namespace tessaron::shots {

namespace fs = std::filesystem;
using splatformats::SplatPoint;

namespace {
std::uint8_t channel(float unit) { return std::uint8_t(std::lround(std::clamp(unit, 0.0f, 1.0f) * 255)); }
}  // namespace

colmap::CameraMap sampleCameras() {
    colmap::CameraMap cameras;
    cameras[1] = {1, 0, 1600, 1200, {1200, 800, 600}};
    return cameras;
}

colmap::ImageMap sampleImages(int count) {
    colmap::ImageMap images;
    for (int32_t id = 1; id <= count; ++id) {
        colmap::ImageModel image;
        image.imageId = id;
        image.cameraId = 1;
        image.name = "frame_" + std::to_string(id) + ".jpg";
        images[id] = image;
    }
    return images;
}

void writeSampleModel(const fs::path& path) {
    std::mt19937 generator(5);
    std::normal_distribution<float> normal(0, 1);
    std::uniform_real_distribution<float> across(-3, 3);
    std::vector<SplatPoint> points;
    auto splat = [&](splatformats::Vector3 position, splatformats::ByteTriple colour) {
        points.emplace_back(position, SplatPoint::Color::sRGBUInt8(colour), SplatPoint::Opacity::linearUInt8(230),
                            SplatPoint::Scale::linearFloat({0.03f, 0.03f, 0.03f}), splatformats::Quaternion{0, 0, 0, 1});
    };
    // Scene axes: x right, y down, z forward.
    for (int index = 0; index < 35000; ++index) {
        float x = normal(generator), y = normal(generator), z = normal(generator);
        const float length = std::sqrt(x * x + y * y + z * z);
        x /= length, y /= length, z /= length;
        splat({1.2f * x, 1.2f * y, 1.2f * z}, {channel((x + 1) / 2), channel((1 - y) / 2), channel((1 - z) / 2)});
    }
    for (int index = 0; index < 15000; ++index) {
        const float x = across(generator), z = across(generator);
        const bool light = (int(std::floor(x)) + int(std::floor(z))) % 2 == 0;
        splat({x, 1.25f, z}, light ? splatformats::ByteTriple{150, 150, 150} : splatformats::ByteTriple{70, 70, 70});
    }
    splatformats::SplatPLYSceneWriter writer(path);
    writer.start(0, true, std::int64_t(points.size()));
    writer.write(points);
    writer.close();
}

namespace {

std::shared_ptr<QWidget> viewerShowingModel(bool orbit) {
    auto folder = std::make_shared<QTemporaryDir>();
    if (!folder->isValid()) throw std::runtime_error("no temporary folder");
    const fs::path model = fs::path(folder->path().toStdString()) / "model.ply";
    writeSampleModel(model);
    auto view = std::make_shared<viewer::SplatRendererView>();
    auto errors = std::make_shared<std::vector<QString>>();
    view->setOnLoadError([errors](const QString& message) { errors->push_back(message); });
    view->setOrbitMode(orbit);
    view->resize(640, 400);
    view->show();
    view->setFileURL(model);
    auto& scene = view->sceneRenderer();
    if (!waitUntil([&] { return !errors->empty() || (scene.runningLoadCount() == 0 && scene.currentSplatCount() > 0); }))
        throw std::runtime_error("the model did not load");
    if (!errors->empty()) throw std::runtime_error(errors->front().toStdString());
    // Frames until the depth order matches the camera and the last one is shown.
    if (!waitUntil([&] { return scene.isAtRest(); }, 60)) throw std::runtime_error("the model's frames did not settle");
    return std::shared_ptr<QWidget>(view.get(), [view, folder](QWidget*) mutable { view.reset(); });
}

// The generators' heavy scene (200,000 large, faint, overlapping
// Gaussians): drawn within the renderer's fragment budget, at a lower
// resolution stretched over the view.
std::shared_ptr<QWidget> viewerShowingHeavyScene() {
    auto folder = std::make_shared<QTemporaryDir>();
    if (!folder->isValid()) throw std::runtime_error("no temporary folder");
    const fs::path model = fs::path(folder->path().toStdString()) / "heavy.ply";
    generators::writeHeavySplatScene(model);
    auto view = std::make_shared<viewer::SplatRendererView>();
    auto errors = std::make_shared<std::vector<QString>>();
    view->setOnLoadError([errors](const QString& message) { errors->push_back(message); });
    view->resize(640, 400);
    view->show();
    view->setFileURL(model);
    auto& scene = view->sceneRenderer();
    if (!waitUntil([&] {
            return !errors->empty() ||
                   (scene.runningLoadCount() == 0 && scene.currentSplatCount() > 0 && scene.isAtRest());
        }, 120))
        throw std::runtime_error("the heavy scene did not load");
    if (!errors->empty()) throw std::runtime_error(errors->front().toStdString());
    return std::shared_ptr<QWidget>(view.get(), [view, folder](QWidget*) mutable { view.reset(); });
}

const ShotState::Registration heavy({"viewer-heavy",
                                     "200,000 large faint Gaussians, drawn within the fragment budget at a lower "
                                     "resolution",
                                     [] { return viewerShowingHeavyScene(); }});

const ShotState::Registration freeFly({"viewer-model", "a 50,000-splat model as it opens, free-fly camera",
                                       [] { return viewerShowingModel(false); }});

const ShotState::Registration orbit({"viewer-orbit", "the same model as it opens in orbit mode, seen from above",
                                     [] { return viewerShowingModel(true); }});

}  // namespace
}  // namespace tessaron::shots
