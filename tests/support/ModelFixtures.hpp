#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "colmap/COLMAPUtils.hpp"

namespace tessaron::testing {

// A consistent little model: `imageCount` images on a line looking along +Z,
// `pointCount` points each seen by `observationsPerPoint` images, every image
// with one keypoint per observation plus one keypoint without a 3D point.
inline colmap::COLMAPModel makeModel(int imageCount, int pointCount, int observationsPerPoint) {
    using namespace colmap;
    COLMAPModel model;
    model.cameras[1] = CameraModel{1, 1, 640, 480, {500.0, 510.0, 320.0, 240.0}};
    model.cameras[2] = CameraModel{2, 2, 1920, 1080, {1200.0, 960.0, 540.0, -0.01}};
    for (int index = 0; index < imageCount; ++index) {
        ImageModel image;
        image.imageId = index + 1;
        image.qw = 1;
        image.tx = -0.5 * index;
        image.tz = 2.0;
        image.cameraId = index % 2 == 0 ? 1 : 2;
        image.name = "frame_" + std::to_string(index) + ".jpg";
        model.images[image.imageId] = image;
    }
    for (int index = 0; index < pointCount; ++index) {
        Point3DModel point;
        point.point3D_id = uint64_t(index) + 1;
        point.x = 0.25 * index;
        point.y = -0.5;
        point.z = 3.0 + 0.125 * (index % 7);
        point.r = uint8_t(index * 37);
        point.g = uint8_t(index * 11);
        point.b = 200;
        point.error = 0.5 + 0.001 * index;
        for (int seen = 0; seen < observationsPerPoint && seen < imageCount; ++seen) {
            int32_t imageId = int32_t((index + seen) % imageCount) + 1;
            auto& keypoints = model.images[imageId].points2D;
            point.track.push_back({imageId, int32_t(keypoints.size())});
            keypoints.push_back({10.0 + index, 20.0 + seen, point.point3D_id});
        }
        model.points3D[point.point3D_id] = point;
    }
    for (auto& [id, image] : model.images) image.points2D.push_back({1.5, 2.5, ImageModel::kNoPoint3D});
    return model;
}

}  // namespace tessaron::testing
