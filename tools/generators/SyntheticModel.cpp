#include "generators/SyntheticModel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <vector>

namespace tessaron::generators {

namespace {

// splitmix64: a tiny generator with the same output everywhere.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() { return double(next() >> 11) / 9007199254740992.0; }
    double uniform(double low, double high) { return low + (high - low) * uniform(); }
    int64_t below(int64_t bound) { return int64_t(next() % uint64_t(bound)); }

private:
    uint64_t state_;
};

struct Pose {
    double centre[3];
    double rotation[3][3];  // world to camera, rows are the camera axes
};

// Camera looking horizontally along heading `theta` (0 = +Z). World Y points
// down, as in COLMAP's camera frame, so the camera axes form a right-handed frame.
Pose lookingAlong(double x, double z, double theta) {
    Pose pose{{x, -1.6, z}, {}};
    double c = std::cos(theta), s = std::sin(theta);
    double rows[3][3] = {{c, 0, -s}, {0, 1, 0}, {s, 0, c}};
    std::copy(&rows[0][0], &rows[0][0] + 9, &pose.rotation[0][0]);
    return pose;
}

void quaternionOf(const double r[3][3], double& w, double& x, double& y, double& z) {
    double trace = r[0][0] + r[1][1] + r[2][2];
    if (trace > 0) {
        double s = std::sqrt(trace + 1.0) * 2;
        w = 0.25 * s;
        x = (r[2][1] - r[1][2]) / s;
        y = (r[0][2] - r[2][0]) / s;
        z = (r[1][0] - r[0][1]) / s;
    } else if (r[0][0] > r[1][1] && r[0][0] > r[2][2]) {
        double s = std::sqrt(1.0 + r[0][0] - r[1][1] - r[2][2]) * 2;
        w = (r[2][1] - r[1][2]) / s;
        x = 0.25 * s;
        y = (r[0][1] + r[1][0]) / s;
        z = (r[0][2] + r[2][0]) / s;
    } else if (r[1][1] > r[2][2]) {
        double s = std::sqrt(1.0 + r[1][1] - r[0][0] - r[2][2]) * 2;
        w = (r[0][2] - r[2][0]) / s;
        x = (r[0][1] + r[1][0]) / s;
        y = 0.25 * s;
        z = (r[1][2] + r[2][1]) / s;
    } else {
        double s = std::sqrt(1.0 + r[2][2] - r[0][0] - r[1][1]) * 2;
        w = (r[1][0] - r[0][1]) / s;
        x = (r[0][2] + r[2][0]) / s;
        y = (r[1][2] + r[2][1]) / s;
        z = 0.25 * s;
    }
}

constexpr double kRange = 45.0;  // farthest distance at which a camera sees a point

struct Street {
    double x0, z0, x1, z1;
};

// Buckets of camera indices on the ground plane, kRange wide.
class CameraGrid {
public:
    explicit CameraGrid(const std::vector<Pose>& poses) {
        for (size_t index = 0; index < poses.size(); ++index)
            cells_[key(cellOf(poses[index].centre[0]), cellOf(poses[index].centre[2]))].push_back(index);
    }
    template <typename Visit>
    void near(double x, double z, Visit visit) const {
        int64_t cx = cellOf(x), cz = cellOf(z);
        for (int64_t dx = -1; dx <= 1; ++dx)
            for (int64_t dz = -1; dz <= 1; ++dz) {
                auto found = cells_.find(key(cx + dx, cz + dz));
                if (found == cells_.end()) continue;
                for (size_t index : found->second) visit(index);
            }
    }

private:
    static int64_t cellOf(double value) { return int64_t(std::floor(value / kRange)); }
    static std::pair<int64_t, int64_t> key(int64_t a, int64_t b) { return {a, b}; }
    std::map<std::pair<int64_t, int64_t>, std::vector<size_t>> cells_;
};

}  // namespace

colmap::COLMAPModel makeSyntheticModel(const SyntheticModelOptions& options) {
    Random random(options.seed * 0x2545F4914F6CDD1DULL + 7);
    const double blockSize = 50.0;
    int64_t imageCount = std::max<int64_t>(options.imageCount, 1);

    // Camera poses.
    std::vector<Pose> poses;
    std::vector<Street> streets;
    double extent = 0;
    if (options.layout == SyntheticModelOptions::Layout::streets) {
        // A square street grid sized so that cameras stand about 3 m apart.
        int64_t lines = 2;
        while (2.0 * double(lines) * double(lines - 1) * blockSize < 3.0 * double(imageCount)) ++lines;
        extent = double(lines - 1) * blockSize;
        for (int64_t line = 0; line < lines; ++line) {
            streets.push_back({double(line) * blockSize, 0, double(line) * blockSize, extent});
            streets.push_back({0, double(line) * blockSize, extent, double(line) * blockSize});
        }
        double total = double(streets.size()) * extent;
        double spacing = total / double(imageCount);
        for (int64_t index = 0; index < imageCount; ++index) {
            double along = (double(index) + 0.5) * spacing;
            const Street& street = streets[size_t(std::min<double>(along / extent, double(streets.size() - 1)))];
            double t = std::fmod(along, extent) / extent;
            double x = street.x0 + (street.x1 - street.x0) * t;
            double z = street.z0 + (street.z1 - street.z0) * t;
            double heading = std::atan2(street.x1 - street.x0, street.z1 - street.z0);
            // Forward, backward and both sides in turn, like a capture walk.
            heading += double(index % 4) * std::numbers::pi / 2;
            poses.push_back(lookingAlong(x + random.uniform(-0.5, 0.5), z + random.uniform(-0.5, 0.5), heading));
        }
    } else {
        int64_t side = int64_t(std::ceil(std::sqrt(double(imageCount))));
        const double spacing = 8.0;
        extent = double(side - 1) * spacing;
        for (int64_t index = 0; index < imageCount; ++index) {
            double x = double(index % side) * spacing;
            double z = double(index / side) * spacing;
            double heading = double((index * 3 + index / side) % 8) * std::numbers::pi / 4;
            poses.push_back(lookingAlong(x, z, heading));
        }
    }

    colmap::COLMAPModel model;
    const double focal = 0.8 * double(options.imageWidth);
    const double cx = double(options.imageWidth) / 2, cy = double(options.imageHeight) / 2;
    model.cameras[1] = colmap::CameraModel{1, 1, options.imageWidth, options.imageHeight, {focal, focal, cx, cy}};
    for (int64_t index = 0; index < imageCount; ++index) {
        colmap::ImageModel image;
        image.imageId = int32_t(index + 1);
        image.cameraId = 1;
        const Pose& pose = poses[size_t(index)];
        quaternionOf(pose.rotation, image.qw, image.qx, image.qy, image.qz);
        double t[3];
        for (int row = 0; row < 3; ++row)
            t[row] = -(pose.rotation[row][0] * pose.centre[0] + pose.rotation[row][1] * pose.centre[1] +
                       pose.rotation[row][2] * pose.centre[2]);
        image.tx = t[0];
        image.ty = t[1];
        image.tz = t[2];
        char name[64];
        if (options.rigViews > 0)
            std::snprintf(name, sizeof name, "cam%lld/frame_%06lld.jpg", (long long)(index % options.rigViews),
                          (long long)(index / options.rigViews + 1));
        else
            std::snprintf(name, sizeof name, "frame_%06lld.jpg", (long long)(index + 1));
        image.name = name;
        model.images.emplace(image.imageId, std::move(image));
    }

    // Points, each with the cameras that see it.
    CameraGrid grid(poses);
    auto project = [&](const Pose& pose, const double p[3], double& u, double& v) {
        double d[3] = {p[0] - pose.centre[0], p[1] - pose.centre[1], p[2] - pose.centre[2]};
        double camera[3];
        for (int row = 0; row < 3; ++row)
            camera[row] = pose.rotation[row][0] * d[0] + pose.rotation[row][1] * d[1] + pose.rotation[row][2] * d[2];
        if (camera[2] < 0.5) return false;
        u = focal * camera[0] / camera[2] + cx;
        v = focal * camera[1] / camera[2] + cy;
        return u >= 0 && u < double(options.imageWidth) && v >= 0 && v < double(options.imageHeight);
    };
    auto samplePosition = [&](double p[3]) {
        if (random.uniform() < options.strayFraction) {
            // Far off the scene: sky and mismatches that the robust ranges cut away.
            p[0] = random.uniform(-6, 7) * extent;
            p[2] = random.uniform(-6, 7) * extent;
            p[1] = random.uniform(-40, 0);
            return;
        }
        bool ground = random.uniform() < 0.35;
        if (!streets.empty()) {
            const Street& street = streets[size_t(random.below(int64_t(streets.size())))];
            double t = random.uniform();
            double x = street.x0 + (street.x1 - street.x0) * t;
            double z = street.z0 + (street.z1 - street.z0) * t;
            double side = ground ? random.uniform(-6, 6) : (random.uniform() < 0.5 ? -8.0 : 8.0) + random.uniform(-0.3, 0.3);
            bool alongZ = street.x0 == street.x1;
            p[0] = x + (alongZ ? side : 0);
            p[2] = z + (alongZ ? 0 : side);
        } else {
            p[0] = random.uniform(-10, extent + 10);
            p[2] = random.uniform(-10, extent + 10);
        }
        p[1] = ground ? 0.0 : -random.uniform(0.2, 14.0);
    };

    std::vector<std::vector<std::pair<uint64_t, colmap::ImageModel::Point2D>>> observations(static_cast<size_t>(imageCount));
    uint64_t nextPointId = 1;
    std::vector<std::pair<double, size_t>> seen;
    for (int64_t made = 0; made < options.pointCount; ++made) {
        double p[3] = {0, 0, 0};
        seen.clear();
        for (int attempt = 0; attempt < 20 && seen.size() < 2; ++attempt) {
            samplePosition(p);
            seen.clear();
            grid.near(p[0], p[2], [&](size_t camera) {
                double u, v;
                double dx = p[0] - poses[camera].centre[0], dz = p[2] - poses[camera].centre[2];
                double distance = std::sqrt(dx * dx + dz * dz);
                if (distance <= kRange && project(poses[camera], p, u, v)) seen.emplace_back(distance, camera);
            });
        }
        if (seen.size() < 2) {
            // Strays and unlucky samples: seen by two arbitrary cameras, as a mismatch would be.
            seen = {{0.0, size_t(random.below(imageCount))}, {0.0, size_t(random.below(imageCount))}};
        }
        std::sort(seen.begin(), seen.end());
        seen.erase(std::unique(seen.begin(), seen.end(),
                               [](const auto& a, const auto& b) { return a.second == b.second; }),
                   seen.end());
        if (int64_t(seen.size()) > options.maxTrackLength) seen.resize(size_t(options.maxTrackLength));

        colmap::Point3DModel point;
        point.point3D_id = nextPointId++;
        point.x = p[0];
        point.y = p[1];
        point.z = p[2];
        point.r = uint8_t(random.below(256));
        point.g = uint8_t(random.below(256));
        point.b = uint8_t(random.below(256));
        bool outlier = random.uniform() < options.outlierFraction;
        point.error = outlier ? random.uniform(4.0, 12.0) : 0.2 + 0.8 * (random.uniform() + random.uniform()) / 2;
        std::sort(seen.begin(), seen.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        for (const auto& [distance, camera] : seen) {
            double u = cx, v = cy;
            project(poses[camera], p, u, v);
            auto& list = observations[camera];
            point.track.push_back({int32_t(camera + 1), int32_t(list.size())});
            list.push_back({point.point3D_id, {u, v, point.point3D_id}});
            // A keypoint without a 3D point now and then, as COLMAP keeps them.
            if (random.below(8) == 0) list.push_back({0, {random.uniform(0, 100), random.uniform(0, 100),
                                                          colmap::ImageModel::kNoPoint3D}});
        }
        model.points3D.emplace(point.point3D_id, std::move(point));
    }
    for (int64_t index = 0; index < imageCount; ++index) {
        auto& image = model.images[int32_t(index + 1)];
        for (auto& [id, observation] : observations[size_t(index)]) image.points2D.push_back(observation);
    }
    return model;
}

}  // namespace tessaron::generators
