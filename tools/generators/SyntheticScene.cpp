#include "generators/SyntheticScene.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tessaron::generators {

namespace {

using Vec3 = cv::Vec3d;

// A textured rectangle: corners in texture order (top-left, top-right,
// bottom-right, bottom-left) and the side it can be seen from.
struct Face {
    std::array<Vec3, 4> corners;
    Vec3 outward;
    cv::Mat texture;
};

struct Box {
    std::vector<Face> faces;
    Vec3 centre;
};

// Blobs at several scales, sharp-edged shapes and fine grain: corners and
// blobs of every size for SIFT, and no repetition to confuse matching.
cv::Mat makeTexture(std::mt19937& random, int size) {
    std::uniform_int_distribution<int> channel(0, 255);
    cv::Mat texture(size, size, CV_8UC3);
    cv::Mat coarse(8, 8, CV_8UC3);
    cv::randu(coarse, cv::Scalar::all(40), cv::Scalar::all(215));
    cv::resize(coarse, texture, texture.size(), 0, 0, cv::INTER_CUBIC);
    std::uniform_int_distribution<int> position(0, size - 1);
    std::uniform_int_distribution<int> radius(size / 120 + 2, size / 14);
    int shapes = size * size / 900;
    for (int index = 0; index < shapes; ++index) {
        cv::Scalar colour(channel(random), channel(random), channel(random));
        cv::Point centre(position(random), position(random));
        int extent = radius(random);
        switch (index % 3) {
            case 0:
                cv::circle(texture, centre, extent, colour, cv::FILLED, cv::LINE_AA);
                break;
            case 1:
                cv::rectangle(texture, centre, centre + cv::Point(extent, extent * 2 / 3), colour, cv::FILLED);
                break;
            default:
                cv::line(texture, centre, centre + cv::Point(extent * 2, -extent), colour, 2, cv::LINE_AA);
                break;
        }
    }
    cv::Mat grain(texture.size(), CV_8UC3);
    cv::randn(grain, cv::Scalar::all(0), cv::Scalar::all(12));
    cv::add(texture, grain, texture);
    return texture;
}

// The rectangle origin, origin + across, origin + across + down, origin + down.
Face makeFace(std::mt19937& random, Vec3 origin, Vec3 across, Vec3 down, Vec3 outward, int textureSize) {
    return Face{{origin, origin + across, origin + across + down, origin + down}, outward,
                makeTexture(random, textureSize)};
}

// An axis-aligned box standing on the floor: its top and four sides.
Box makeBox(std::mt19937& random, Vec3 base, Vec3 size) {
    double x0 = base[0] - size[0] / 2, x1 = base[0] + size[0] / 2;
    double z0 = base[2] - size[2] / 2, z1 = base[2] + size[2] / 2;
    double top = size[1];
    Vec3 alongX(size[0], 0, 0), alongZ(0, 0, size[2]), downwards(0, -top, 0);
    Box box;
    box.centre = Vec3(base[0], top / 2, base[2]);
    box.faces.push_back(makeFace(random, Vec3(x0, top, z0), alongX, alongZ, Vec3(0, 1, 0), 384));
    box.faces.push_back(makeFace(random, Vec3(x0, top, z1), alongX, downwards, Vec3(0, 0, 1), 384));
    box.faces.push_back(makeFace(random, Vec3(x1, top, z0), -alongX, downwards, Vec3(0, 0, -1), 384));
    box.faces.push_back(makeFace(random, Vec3(x1, top, z1), -alongZ, downwards, Vec3(1, 0, 0), 384));
    box.faces.push_back(makeFace(random, Vec3(x0, top, z0), alongZ, downwards, Vec3(-1, 0, 0), 384));
    return box;
}

struct Camera {
    Vec3 centre;
    cv::Matx33d rotation;  // world to camera; camera x right, y down, z forward
    double focal, cx, cy;

    Vec3 toCamera(const Vec3& point) const { return rotation * (point - centre); }
};

Camera lookAt(Vec3 centre, Vec3 target, double focal, double cx, double cy) {
    Vec3 forward = cv::normalize(target - centre);
    Vec3 right = cv::normalize(forward.cross(Vec3(0, 1, 0)));
    Vec3 down = forward.cross(right);
    cv::Matx33d rotation(right[0], right[1], right[2], down[0], down[1], down[2], forward[0], forward[1], forward[2]);
    return Camera{centre, rotation, focal, cx, cy};
}

// Warps the face's texture over what is drawn so far; faces seen from
// behind or reaching behind the camera are left out.
void drawFace(cv::Mat& canvas, const Face& face, const Camera& camera, double scale) {
    Vec3 faceCentre = (face.corners[0] + face.corners[1] + face.corners[2] + face.corners[3]) * 0.25;
    if (face.outward.dot(camera.centre - faceCentre) <= 0) return;
    std::array<cv::Point2f, 4> projected;
    for (size_t index = 0; index < 4; ++index) {
        Vec3 point = camera.toCamera(face.corners[index]);
        if (point[2] < 0.1) return;
        projected[index] = cv::Point2f(float(scale * (camera.focal * point[0] / point[2] + camera.cx)),
                                       float(scale * (camera.focal * point[1] / point[2] + camera.cy)));
    }
    float side = float(face.texture.cols - 1);
    std::array<cv::Point2f, 4> source = {cv::Point2f(0, 0), cv::Point2f(side, 0), cv::Point2f(side, side),
                                         cv::Point2f(0, side)};
    cv::Mat homography = cv::getPerspectiveTransform(source.data(), projected.data());
    cv::warpPerspective(face.texture, canvas, homography, canvas.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
}

struct Scene {
    std::vector<Face> room;
    std::vector<Box> boxes;
};

Scene buildScene(unsigned seed, bool surroundings) {
    std::mt19937 random(seed);
    // A 6 m square floor with walls at the back and both sides, 3 m high.
    const double half = 3.0, wallHeight = 3.0;
    const Vec3 alongX(2 * half, 0, 0), alongZ(0, 0, 2 * half), downwards(0, -wallHeight, 0);
    Scene scene;
    scene.room.push_back(makeFace(random, Vec3(-half, 0, -half), alongX, alongZ, Vec3(0, 1, 0), 1024));
    scene.room.push_back(makeFace(random, Vec3(-half, wallHeight, -half), alongX, downwards, Vec3(0, 0, 1), 1024));
    scene.room.push_back(makeFace(random, Vec3(-half, wallHeight, half), -alongZ, downwards, Vec3(1, 0, 0), 1024));
    scene.room.push_back(makeFace(random, Vec3(half, wallHeight, -half), alongZ, downwards, Vec3(-1, 0, 0), 1024));
    scene.boxes.push_back(makeBox(random, Vec3(-1.2, 0, -0.8), Vec3(1.0, 1.2, 0.9)));
    scene.boxes.push_back(makeBox(random, Vec3(1.1, 0, -1.4), Vec3(0.8, 1.8, 0.8)));
    scene.boxes.push_back(makeBox(random, Vec3(0.4, 0, 0.9), Vec3(1.2, 0.6, 0.7)));
    if (surroundings) {
        // Made after the room, so that the room's textures stay those of the
        // same seed without them; drawn before it, as they lie behind. In
        // tiles, since a face reaching behind a camera is left out whole.
        std::vector<Face> around;
        auto tiled = [&](Vec3 origin, Vec3 across, Vec3 down, Vec3 outward, int columns, int rows) {
            for (int row = 0; row < rows; ++row)
                for (int column = 0; column < columns; ++column)
                    around.push_back(makeFace(random, origin + across * (double(column) / columns) +
                                                          down * (double(row) / rows),
                                              across * (1.0 / columns), down * (1.0 / rows), outward, 256));
        };
        const double ground = 20, backdropDepth = 12, backdropHeight = 20;
        tiled(Vec3(-ground, -0.01, -ground), Vec3(2 * ground, 0, 0), Vec3(0, 0, 2 * ground), Vec3(0, 1, 0), 10, 10);
        tiled(Vec3(-2 * ground, backdropHeight, -backdropDepth), Vec3(4 * ground, 0, 0), Vec3(0, -backdropHeight, 0),
              Vec3(0, 0, 1), 20, 5);
        scene.room.insert(scene.room.begin(), std::make_move_iterator(around.begin()),
                          std::make_move_iterator(around.end()));
    }
    return scene;
}

// The pose of view `index`: on the arc looking at the room's centre, or on a
// line across the open side of the room looking in, turning a little.
Camera viewCamera(const SceneOptions& options, int index, int imageCount) {
    double fraction = imageCount == 1 ? 0.5 : double(index) / double(imageCount - 1);
    if (options.path == CameraPath::sideways) {
        double x = (fraction - 0.5) * options.sidewaysSpan;
        Vec3 centre(x, options.elevation, options.distance);
        Vec3 target(0.8 * x + 0.25 * std::sin(1.7 * index), 0.8 + 0.15 * std::cos(2.3 * index), 0);
        return lookAt(centre, target, options.focalLength, options.width / 2.0, options.height / 2.0);
    }
    double angle = (fraction - 0.5) * options.arcDegrees * CV_PI / 180.0;
    Vec3 centre(options.distance * std::sin(angle), options.elevation, options.distance * std::cos(angle));
    return lookAt(centre, Vec3(0, 0.8, 0), options.focalLength, options.width / 2.0, options.height / 2.0);
}

// The same optical centre turned right by `yawDegrees` about the camera's own
// vertical axis, seeing a square of `size` pixels: one crop of a rig.
Camera rigCamera(const Camera& view, double yawDegrees, int size) {
    double yaw = yawDegrees * CV_PI / 180.0;
    cv::Matx33d turn(std::cos(yaw), 0, -std::sin(yaw), 0, 1, 0, std::sin(yaw), 0, std::cos(yaw));
    return Camera{view.centre, turn * view.rotation, view.focal, size / 2.0, size / 2.0};
}

void renderPhoto(const Scene& scene, const Camera& camera, cv::Size size, const std::filesystem::path& path,
                 int jpegQuality) {
    // Drawn at twice the size and reduced, which smooths the warped edges.
    const double supersample = 2.0;
    cv::Mat canvas(int(size.height * supersample), int(size.width * supersample), CV_8UC3, cv::Scalar(128, 128, 128));
    for (const auto& face : scene.room) drawFace(canvas, face, camera, supersample);
    // The room encloses the boxes, so it goes first; boxes far to near.
    std::vector<const Box*> order;
    for (const auto& box : scene.boxes) order.push_back(&box);
    std::sort(order.begin(), order.end(), [&](const Box* a, const Box* b) {
        return camera.toCamera(a->centre)[2] > camera.toCamera(b->centre)[2];
    });
    for (const Box* box : order)
        for (const auto& face : box->faces) drawFace(canvas, face, camera, supersample);

    cv::Mat photo;
    cv::resize(canvas, photo, size, 0, 0, cv::INTER_AREA);
    if (!cv::imwrite(path.string(), photo, {cv::IMWRITE_JPEG_QUALITY, jpegQuality}))
        throw std::runtime_error("could not write " + path.string());
}

}  // namespace

std::vector<std::filesystem::path> renderScene(const std::filesystem::path& folder, int imageCount,
                                               const SceneOptions& options) {
    if (imageCount < 1) throw std::invalid_argument("renderScene needs at least one image");
    std::filesystem::create_directories(folder);
    const Scene sharedScene = buildScene(options.seed, options.surroundings);
    for (size_t camera = 0; camera < options.rigYawDegrees.size(); ++camera)
        std::filesystem::create_directories(folder / ("cam" + std::to_string(camera)));

    std::vector<std::filesystem::path> paths;
    for (int index = 0; index < imageCount; ++index) {
        // Unrelated views share the room's shape but no texture, so nothing matches.
        const Scene ownScene = options.unrelatedViews
                                   ? buildScene(options.seed + 7919u * unsigned(index + 1), options.surroundings)
                                   : Scene{};
        const Scene& scene = options.unrelatedViews ? ownScene : sharedScene;
        const Camera view = viewCamera(options, index, imageCount);
        char name[32];
        std::snprintf(name, sizeof name, "image_%03d.jpg", index);
        if (options.rigYawDegrees.empty()) {
            paths.push_back(folder / name);
            renderPhoto(scene, view, cv::Size(options.width, options.height), paths.back(), options.jpegQuality);
            continue;
        }
        for (size_t camera = 0; camera < options.rigYawDegrees.size(); ++camera) {
            paths.push_back(folder / ("cam" + std::to_string(camera)) / name);
            renderPhoto(scene, rigCamera(view, options.rigYawDegrees[camera], options.rigCropSize),
                        cv::Size(options.rigCropSize, options.rigCropSize), paths.back(), options.jpegQuality);
        }
    }
    return paths;
}

}  // namespace tessaron::generators
