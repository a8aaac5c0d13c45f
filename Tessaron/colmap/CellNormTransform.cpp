// A trained cell's normalisation, from the camera centres of its images.bin.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "colmap/CellNormTransform.hpp"
#include "core/AtomicFile.hpp"

namespace tessaron::colmap {

namespace {

template <typename Value>
Value readLittleEndian(std::string_view bytes, size_t offset) {
    static_assert(std::endian::native == std::endian::little, "images.bin is read as little-endian");
    Value value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// Image id, quaternion, translation and camera id.
constexpr size_t kFixedRecordBytes = 4 + 4 * 8 + 3 * 8 + 4;
constexpr size_t kPoint2DBytes = 24;

}  // namespace

std::vector<CellNormTransform::Centre> CellNormTransform::cameraCenters(std::string_view data) {
    std::vector<Centre> centres;
    if (data.size() < 8) return centres;
    const uint64_t count = readLittleEndian<uint64_t>(data, 0);
    size_t offset = 8;
    for (uint64_t record = 0; record < count; ++record) {
        if (data.size() - offset < kFixedRecordBytes) break;
        double qw = readLittleEndian<double>(data, offset + 4);
        double qx = readLittleEndian<double>(data, offset + 12);
        double qy = readLittleEndian<double>(data, offset + 20);
        double qz = readLittleEndian<double>(data, offset + 28);
        double tx = readLittleEndian<double>(data, offset + 36);
        double ty = readLittleEndian<double>(data, offset + 44);
        double tz = readLittleEndian<double>(data, offset + 52);
        size_t nameStart = offset + kFixedRecordBytes;
        size_t nameEnd = data.find('\0', nameStart);
        size_t countOffset = nameEnd == std::string_view::npos ? data.size() : nameEnd + 1;
        if (countOffset > data.size() || data.size() - countOffset < 8) break;
        int64_t pointCount = readLittleEndian<int64_t>(data, countOffset);

        double norm = std::sqrt(qw * qw + qx * qx + qy * qy + qz * qz);
        // A pose without a usable rotation or translation says nothing about
        // where the camera is; its centre would poison the mean.
        if (norm > 0 && std::isfinite(norm)) {
            double w = qw / norm, x = qx / norm, y = qy / norm, z = qz / norm;
            double r00 = 1 - 2 * (y * y + z * z), r01 = 2 * (x * y - w * z), r02 = 2 * (x * z + w * y);
            double r10 = 2 * (x * y + w * z), r11 = 1 - 2 * (x * x + z * z), r12 = 2 * (y * z - w * x);
            double r20 = 2 * (x * z - w * y), r21 = 2 * (y * z + w * x), r22 = 1 - 2 * (x * x + y * y);
            Centre centre{-(r00 * tx + r10 * ty + r20 * tz), -(r01 * tx + r11 * ty + r21 * tz),
                          -(r02 * tx + r12 * ty + r22 * tz)};
            if (std::isfinite(centre.x) && std::isfinite(centre.y) && std::isfinite(centre.z))
                centres.push_back(centre);
        }

        // A negative or impossibly large point count ends the parse here, as a
        // truncated list does.
        size_t listStart = countOffset + 8;
        if (pointCount < 0 || uint64_t(pointCount) > (data.size() - listStart) / kPoint2DBytes) break;
        offset = listStart + size_t(pointCount) * kPoint2DBytes;
    }
    return centres;
}

std::optional<CellNormTransform> CellNormTransform::estimate(const std::filesystem::path& sparseURL) {
    std::string data;
    try {
        data = core::readWholeFile(sparseURL / "images.bin");
    } catch (const core::Error&) {
        return std::nullopt;  // the caller reports a cell without a transform
    }
    if (data.size() < 8) return std::nullopt;
    std::vector<Centre> centres = cameraCenters(data);
    if (centres.empty()) return std::nullopt;

    double sumX = 0, sumY = 0, sumZ = 0;
    for (const auto& centre : centres) {
        sumX += centre.x;
        sumY += centre.y;
        sumZ += centre.z;
    }
    const double count = double(centres.size());
    CellNormTransform transform;
    transform.translation = {sumX / count, sumY / count, sumZ / count};
    double spread = 0;
    for (const auto& centre : centres) {
        spread = std::max({spread, std::fabs(centre.x - transform.translation.x),
                           std::fabs(centre.y - transform.translation.y),
                           std::fabs(centre.z - transform.translation.z)});
    }
    transform.scale = spread > 0 ? 1 / spread : 1;
    return transform;
}

}  // namespace tessaron::colmap
