#pragma once

#include <filesystem>
#include <vector>

namespace tessaron::generators {

// Where the cameras stand: on a horizontal arc, all looking at the room's
// centre, or on a straight line across the room's open side, each looking in
// with a small turn of its own.
enum class CameraPath { arc, sideways };

// A small room (textured floor and walls) with a few textured boxes, seen by
// pinhole cameras along a path.
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
    CameraPath path = CameraPath::arc;
    double sidewaysSpan = 4;  // length of the sideways line
    // A rig: each view is rendered once per yaw (degrees, positive turns
    // right about the camera's vertical axis) from the same centre, as a
    // square of rigCropSize pixels into the folder cam<k>/ of the k-th yaw.
    std::vector<double> rigYawDegrees = {};
    int rigCropSize = 480;
    // Every view gets textures of its own, so no two photos match and COLMAP
    // cannot reconstruct them.
    bool unrelatedViews = false;
    // A wide textured ground and a backdrop behind the room, so that no part
    // of a photo is a plain void that structure from motion finds nothing in.
    bool surroundings = false;
};

// Writes imageCount JPEG photos "image_000.jpg", "image_001.jpg", ... into
// folder (created when missing), or into its cam<k>/ folders for a rig, and
// returns their paths in path order (for a rig, the cameras of each view in
// turn).
std::vector<std::filesystem::path> renderScene(const std::filesystem::path& folder, int imageCount,
                                               const SceneOptions& options = {});

}  // namespace tessaron::generators
