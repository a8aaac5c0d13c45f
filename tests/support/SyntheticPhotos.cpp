#include "support/SyntheticPhotos.hpp"

#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace tessaron::testing {

void writeSyntheticPhotos(const colmap::COLMAPModel& model, const std::filesystem::path& folder) {
    for (const auto& [imageId, image] : model.images) {
        const colmap::CameraModel& camera = model.cameras.at(image.cameraId);
        cv::Mat photo(int(camera.height), int(camera.width), CV_8UC3);
        for (int y = 0; y < photo.rows; ++y) {
            auto* row = photo.ptr<cv::Vec3b>(y);
            for (int x = 0; x < photo.cols; ++x)
                row[x] = cv::Vec3b(uint8_t((x + 3 * imageId) % 256), uint8_t(y % 256),
                                   uint8_t((x / 8 + y / 8 + imageId) % 2 ? 200 : 40));
        }
        const std::filesystem::path path = folder / image.name;
        std::filesystem::create_directories(path.parent_path());
        if (!cv::imwrite(path.string(), photo)) throw std::runtime_error("could not write " + path.string());
    }
}

}  // namespace tessaron::testing
