#pragma once

// Header-only: a test that includes it links tessaron_engines.

#include <cstdint>
#include <filesystem>
#include <string>

#include "colmap/COLMAPUtils.hpp"
#include "support/TempDir.hpp"

namespace tessaron::testing {

// A training dataset as the engine reads it: `sparse/0` holding a COLMAP
// model with one PINHOLE camera, registered images whose files exist under
// `images/`, and a lattice of coloured points.
struct SyntheticDataset {
    // `count` points on a lattice of spacing 0.1, ids from 1, each with its
    // own colour.
    static colmap::Point3DMap latticePoints(size_t count) {
        colmap::Point3DMap points;
        for (size_t index = 0; index < count; ++index) {
            colmap::Point3DModel point;
            point.point3D_id = index + 1;
            point.x = double(index % 10) * 0.1;
            point.y = double(index / 10 % 10) * 0.1;
            point.z = double(index / 100) * 0.1;
            point.r = uint8_t(index * 7);
            point.g = uint8_t(255 - index % 256);
            point.b = uint8_t(index * 13 + 5);
            point.error = 0.5;
            point.track = {{1, int32_t(index)}};
            points.emplace(point.point3D_id, point);
        }
        return points;
    }

    // A grey 1×1 PNG: decoders go by the signature, so it reads under a .jpg
    // name too, and the photo folder counts as one of readable images.
    static std::string onePixelImage() {
        static const unsigned char bytes[] = {
            0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
            0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x3a, 0x7e, 0x9b, 0x55, 0x00,
            0x00, 0x00, 0x0a, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x68, 0x00, 0x00, 0x00, 0x82, 0x00, 0x81,
            0x77, 0xcd, 0x72, 0xb6, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
        return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
    }

    static std::string imageName(size_t index) {
        std::string number = std::to_string(index);
        return "frame_" + std::string(6 - std::min<size_t>(6, number.size()), '0') + number + ".jpg";
    }

    static void write(const std::filesystem::path& folder, size_t imageCount, const colmap::Point3DMap& points,
                      uint64_t width = 640, uint64_t height = 480) {
        colmap::CameraMap cameras;
        cameras[1] = colmap::CameraModel{1, 1, width, height, {500, 500, double(width) / 2, double(height) / 2}};
        colmap::ImageMap images;
        for (size_t index = 0; index < imageCount; ++index) {
            colmap::ImageModel image;
            image.imageId = int32_t(index + 1);
            image.tz = double(index);
            image.cameraId = 1;
            image.name = imageName(index);
            images[image.imageId] = image;
            writeTextFile(folder / "images" / image.name, onePixelImage());
        }
        std::filesystem::create_directories(folder / "sparse" / "0");
        colmap::COLMAPUtils::writeModel(cameras, images, points, folder / "sparse" / "0");
    }
};

}  // namespace tessaron::testing
