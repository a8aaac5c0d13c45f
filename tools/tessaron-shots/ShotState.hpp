#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/PreferenceStore.hpp"
#include "colmap/COLMAPUtils.hpp"

namespace tessaron::shots {

// One named state of one window. `build` makes the window, brings it into
// the state (running the event loop as long as that takes) and returns it;
// releasing the window winds down whatever the state started.
struct ShotState {
    std::string name;
    std::string description;
    std::function<std::shared_ptr<QWidget>()> build;

    static std::vector<ShotState>& all();

    struct Registration {
        explicit Registration(ShotState state) { all().push_back(std::move(state)); }
    };
};

// Runs the event loop until `done` holds or `seconds` have passed; returns
// whether it holds.
bool waitUntil(const std::function<bool()>& done, double seconds = 20);

// A 50,000-splat PLY: a coloured sphere over a checkered floor.
void writeSampleModel(const std::filesystem::path& path);

// The cameras and images of a sample reconstruction: one 1600 × 1200
// camera seen from `count` frames named "frame_<id>.jpg" (no poses: the
// live views draw only the points).
colmap::CameraMap sampleCameras();
colmap::ImageMap sampleImages(int count);

// The settings of a user who has seen the welcome tour: windows built on
// them show themselves, not the tour.
inline std::shared_ptr<core::InMemoryPreferenceStore> afterTourDefaults() {
    auto defaults = std::make_shared<core::InMemoryPreferenceStore>();
    defaults->setString("hasSeenWelcomeTour", "true");
    return defaults;
}

}  // namespace tessaron::shots
