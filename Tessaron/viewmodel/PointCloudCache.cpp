#include "viewmodel/PointCloudCache.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>

#include "colmap/COLMAPUtils.hpp"

namespace tessaron::viewmodel {

namespace {

// The shortest decimal that reads back to the same value, always with a
// fraction or an exponent ("0.0", "1712345678.5").
std::string shortestDecimal(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::string written(text, result.ptr);
    if (written.find_first_of(".eEn") == std::string::npos) written += ".0";
    return written;
}

struct RobustRange {
    double low = 0;
    double high = 0;
};

// The values at the 2nd and 98th percentiles of one sorted list.
RobustRange robustRange(std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    const std::size_t count = values.size();
    const std::size_t low = std::size_t(double(count) * 0.02);
    const std::size_t high = std::min(std::size_t(double(count) * 0.98), count - 1);
    return {values[low], values[high]};
}

}  // namespace

std::mutex& PointCloudCache::lock() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, ParsedCloudPointer>& PointCloudCache::clouds() {
    static std::map<std::string, ParsedCloudPointer> map;
    return map;
}

std::string PointCloudCache::cacheKey(const std::filesystem::path& sparseDir) {
    std::lock_guard guard(lock());
    return cacheKeyLocked(sparseDir);
}

std::string PointCloudCache::cacheKeyLocked(const std::filesystem::path& sparseDir) {
    double seconds = 0;
    long long size = 0;
    struct stat attributes {};
    if (::stat((sparseDir / "points3D.bin").c_str(), &attributes) == 0) {
        seconds = double(attributes.st_mtim.tv_sec) + double(attributes.st_mtim.tv_nsec) / 1e9;
        size = static_cast<long long>(attributes.st_size);
    }
    return sparseDir.string() + "|" + shortestDecimal(seconds) + "|" + std::to_string(size);
}

ParsedCloudPointer PointCloudCache::cachedCloud(const std::filesystem::path& sparseDir) {
    std::lock_guard guard(lock());
    auto found = clouds().find(cacheKeyLocked(sparseDir));
    return found == clouds().end() ? nullptr : found->second;
}

void PointCloudCache::store(const std::filesystem::path& sparseDir, ParsedCloudPointer cloud) {
    std::lock_guard guard(lock());
    clouds()[cacheKeyLocked(sparseDir)] = std::move(cloud);
}

ParsedCloud PointCloudCache::parseCloud(const std::filesystem::path& sparseDir) {
    ParsedCloud cloud;
    colmap::ImageMap images;
    std::vector<colmap::PointPosition> points;
    try {
        // Cameras are read only so that a damaged cameras.bin fails the
        // model as a whole; the positions skip colours and tracks.
        colmap::COLMAPUtils::readCameras(sparseDir / "cameras.bin");
        images = colmap::COLMAPUtils::readImages(sparseDir / "images.bin");
        points = colmap::COLMAPUtils::readPointPositions(sparseDir / "points3D.bin");
    } catch (const std::exception& error) {
        cloud.readError = error.what();
        return cloud;
    }

    const std::size_t count = points.size();
    const std::size_t stride = count < samplingTarget ? 1 : count / samplingTarget;
    std::vector<double> xs, ys, zs;
    const std::size_t taken = count == 0 ? 0 : (count - 1) / stride + 1;
    cloud.positions.reserve(taken);
    cloud.pointsXZ.reserve(taken);
    xs.reserve(taken), ys.reserve(taken), zs.reserve(taken);
    for (std::size_t index = 0; index < count; index += stride) {
        const auto& point = points[index];
        cloud.positions.push_back({point.x, point.y, point.z});
        cloud.pointsXZ.push_back({point.x, point.z});
        xs.push_back(point.x), ys.push_back(point.y), zs.push_back(point.z);
    }

    // Each term is minus the world Y of that camera's image-down axis.
    double upVotes = 0;
    for (const auto& [id, image] : images) upVotes += 2 * (image.qx * image.qx + image.qz * image.qz) - 1;
    cloud.upSign = upVotes > 0 ? 1.0 : -1.0;

    if (!xs.empty()) {
        const RobustRange x = robustRange(xs), y = robustRange(ys), z = robustRange(zs);
        cloud.bounds = {x.low, x.high, z.low, z.high};
        cloud.yLow = y.low;
        cloud.yHigh = y.high;
    }
    return cloud;
}

}  // namespace tessaron::viewmodel
