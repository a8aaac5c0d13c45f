#pragma once

#include <filesystem>
#include <vector>

namespace tessaron::testing {

// A small room (textured floor and walls) with a few textured boxes, seen by
// pinhole cameras on a horizontal arc that all look at the room's centre.
// Every surface carries its own random high-frequency pattern, so SIFT finds
// thousands of distinctive features and a real COLMAP run registers the
// images. Rendering is plain planar warping of each face's texture.
struct SceneOptions {
    int width = 640;
    int height = 480;
    double focalLength = 560;  // pixels; the principal point is the image centre
    double arcDegrees = 60;    // spread of the cameras around the room
    double distance = 7;       // camera distance from the room's centre axis
    double elevation = 2.5;    // camera height above the floor
    unsigned seed = 1;         // the textures; the same seed renders the same photos
    int jpegQuality = 95;
};

// Writes imageCount JPEG photos "image_000.jpg", "image_001.jpg", ... into
// folder (created when missing) and returns their paths in arc order.
std::vector<std::filesystem::path> renderScene(const std::filesystem::path& folder, int imageCount,
                                               const SceneOptions& options = {});

}  // namespace tessaron::testing
