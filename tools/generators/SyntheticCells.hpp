#pragma once

// Header-only: a user links tessaron_partition.
//
// Trained cells whose merge result is known. A made-up scene of Gaussians in
// the plan's frame is cut into a grid of cells; each cell gets a COLMAP model
// whose cameras fix the cell's normalised frame (as the trainer's would),
// and a Gaussian PLY holding every Gaussian of its expanded box in that frame.
// Every Gaussian lies strictly inside one cell's owned region (a core box, or
// an edge cell's margin beyond the scene), so a correct merge keeps each one
// exactly once, owned by that cell, unless it was made to fail a filter.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "colmap/COLMAPUtils.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/SeamlessMerger.hpp"

namespace tessaron::generators {

struct SyntheticCellsOptions {
    int64_t columns = 2;
    int64_t rows = 1;
    int64_t gaussiansPerCell = 500;  // inside each core box
    int64_t edgeGaussians = 20;      // per edge cell, in its margin beyond the scene
    int64_t rejectsPerCell = 0;      // transparent, too large or needle-shaped, in turn
    double margin = 0.2;             // expanded box: the core widened by this share of its size per side
    int64_t extraProperties = 0;     // "f_rest_<i>" floats; 48 make the usual 248-byte record
    bool centroids = true;           // the plan has cluster centroids: pure-voronoi ownership
    bool reorderedProperties = false;
    uint64_t seed = 1;
    std::string plyName = "output.ply";
};

struct SyntheticGaussian {
    double position[3] = {0, 0, 0};  // plan frame
    float opacity = 0;               // logit
    float logScale[3] = {0, 0, 0};   // plan frame
    float rotation[4] = {1, 0, 0, 0};
    float colour[3] = {0, 0, 0};
    size_t owner = 0;  // the cell that owns it
    bool survives = true;
};

struct SyntheticCells {
    partition::PartitionPlan plan;
    // Per plan cell: the PLY, bounds, model folder, the frame its cameras
    // give and the plan's centroid (when the plan has centroids).
    std::vector<partition::SeamlessMerger::CellInput> inputs;
    std::vector<SyntheticGaussian> gaussians;
    std::vector<std::string> propertyNames;  // one record, in file order
    std::vector<int64_t> cellRecordCounts;

    // Indices of the Gaussians a correct merge keeps, in output order: cell
    // by cell, each cell's owned survivors in index order.
    std::vector<size_t> expectedOrder() const {
        std::vector<size_t> order;
        for (size_t cell = 0; cell < inputs.size(); ++cell)
            for (size_t index = 0; index < gaussians.size(); ++index)
                if (gaussians[index].owner == cell && gaussians[index].survives) order.push_back(index);
        return order;
    }

    // The values of one record in `frame`: positions and log-scales mapped,
    // the other properties as made.
    std::vector<float> record(size_t index, const partition::SeamlessMerger::NormTransform& frame) const {
        std::vector<float> values(propertyNames.size());
        fillRecord(index, frame, values.data());
        return values;
    }

    void fillRecord(size_t index, const partition::SeamlessMerger::NormTransform& frame, float* values) const {
        const SyntheticGaussian& g = gaussians[index];
        const double t[3] = {frame.translation.x, frame.translation.y, frame.translation.z};
        const double logScale = std::log(frame.scale);
        for (size_t column = 0; column < propertyNames.size(); ++column) {
            const std::string& name = propertyNames[column];
            const int k = name.back() - '0';
            switch (name[0]) {
                case 'x': case 'y': case 'z':
                    values[column] = float((g.position[name[0] - 'x'] - t[name[0] - 'x']) * frame.scale);
                    break;
                case 's': values[column] = float(double(g.logScale[k]) + logScale); break;
                case 'o': values[column] = g.opacity; break;
                case 'r': values[column] = g.rotation[k]; break;
                default:
                    if (name.starts_with("f_dc_"))
                        values[column] = g.colour[k];
                    else  // f_rest_<i>
                        values[column] = float(index % 1000) * 0.001f + float(std::atoi(name.c_str() + 7));
            }
        }
    }
};

// A binary little-endian PLY of float vertex properties.
inline void writeFloatPly(const std::filesystem::path& file, const std::vector<std::string>& names,
                          const std::vector<float>& values) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "ply\nformat binary_little_endian 1.0\ncomment synthetic trained cell\nelement vertex "
        << (names.empty() ? 0 : values.size() / names.size()) << "\n";
    for (const auto& name : names) out << "property float " << name << "\n";
    out << "end_header\n";
    out.write(reinterpret_cast<const char*>(values.data()), std::streamsize(values.size() * sizeof(float)));
}

inline void writeFloatPly(const std::filesystem::path& file, const std::vector<std::string>& names,
                          const std::vector<std::vector<float>>& records) {
    std::vector<float> values;
    for (const auto& record : records) values.insert(values.end(), record.begin(), record.end());
    writeFloatPly(file, names, values);
}

namespace synthetic_cells_detail {

// splitmix64: the same numbers everywhere.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 11) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform(double low = 0, double high = 1) {
        return low + (high - low) * (double(next() >> 11) / 9007199254740992.0);
    }

private:
    uint64_t state_;
};

}  // namespace synthetic_cells_detail

inline SyntheticCells writeSyntheticCells(const std::filesystem::path& partitionsFolder,
                                          const SyntheticCellsOptions& options) {
    using partition::CellBounds;
    using partition::PartitionCell;
    synthetic_cells_detail::Random random(options.seed);
    SyntheticCells made;

    std::vector<std::string> names = {"x", "y", "z", "f_dc_0", "f_dc_1", "f_dc_2"};
    for (int64_t index = 0; index < options.extraProperties; ++index) names.push_back("f_rest_" + std::to_string(index));
    for (const char* name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"})
        names.push_back(name);
    if (options.reorderedProperties) std::reverse(names.begin(), names.end());
    made.propertyNames = names;

    const CellBounds scene{-1, 1, -1, 1};
    const int64_t columns = std::max<int64_t>(options.columns, 1), rows = std::max<int64_t>(options.rows, 1);
    const double width = (scene.maxX - scene.minX) / double(columns);
    const double depth = (scene.maxZ - scene.minZ) / double(rows);

    partition::PartitionPlan& plan = made.plan;
    plan.totalPoints = 0;
    plan.physicalRAMGB = 16;
    plan.budgetGB = 13.5;
    plan.imageWidth = 640;
    plan.imageHeight = 480;
    plan.sceneBounds = scene;
    plan.clusterSeed = 0;
    plan.schemaVersion = 1;
    plan.viewsPerFrame = 1;
    if (options.centroids) plan.clusterCentroids = std::vector<partition::Point2D>{};

    // Cells, their cameras and their frames.
    int32_t nextImageId = 1;
    std::vector<colmap::ImageMap> cellImages;
    for (int64_t row = 0; row < rows; ++row) {
        for (int64_t column = 0; column < columns; ++column) {
            PartitionCell cell;
            cell.id = "cell_" + std::to_string(plan.cells.size());
            cell.coreBounds = {scene.minX + double(column) * width, scene.minX + double(column + 1) * width,
                               scene.minZ + double(row) * depth, scene.minZ + double(row + 1) * depth};
            cell.expandedBounds = {cell.coreBounds.minX - options.margin * width,
                                   cell.coreBounds.maxX + options.margin * width,
                                   cell.coreBounds.minZ - options.margin * depth,
                                   cell.coreBounds.maxZ + options.margin * depth};
            const CellBounds& e = cell.expandedBounds;
            // Cameras on the expanded box's corners (high) and side midpoints
            // (low), each turned about the vertical axis.
            const double midX = (e.minX + e.maxX) / 2, midZ = (e.minZ + e.maxZ) / 2;
            const double spots[8][3] = {{e.minX, -0.25, e.minZ}, {e.maxX, -0.25, e.minZ}, {e.minX, -0.25, e.maxZ},
                                        {e.maxX, -0.25, e.maxZ}, {midX, 0.15, e.minZ},   {midX, 0.15, e.maxZ},
                                        {e.minX, 0.15, midZ},    {e.maxX, 0.15, midZ}};
            colmap::ImageMap images;
            double sum[3] = {0, 0, 0};
            cell.cameraIds = std::vector<int32_t>{};
            for (const auto& spot : spots) {
                colmap::ImageModel image;
                image.imageId = nextImageId++;
                image.cameraId = 1;
                image.name = "frame_" + std::to_string(image.imageId) + ".jpg";
                double angle = random.uniform(0, 2 * std::numbers::pi);
                double c = std::cos(angle), s = std::sin(angle);
                image.qw = std::cos(angle / 2);
                image.qx = 0;
                image.qy = std::sin(angle / 2);
                image.qz = 0;
                // R of a turn about y: rows (c, 0, s), (0, 1, 0), (-s, 0, c); t = -R C.
                image.tx = -(c * spot[0] + s * spot[2]);
                image.ty = -spot[1];
                image.tz = -(-s * spot[0] + c * spot[2]);
                images.emplace(image.imageId, image);
                cell.cameraIds->push_back(image.imageId);
                for (int axis = 0; axis < 3; ++axis) sum[axis] += spot[axis];
            }
            partition::SeamlessMerger::NormTransform frame;
            frame.translation = {sum[0] / 8, sum[1] / 8, sum[2] / 8};
            double spread = 0;
            for (const auto& spot : spots) {
                spread = std::max({spread, std::fabs(spot[0] - frame.translation.x),
                                   std::fabs(spot[1] - frame.translation.y),
                                   std::fabs(spot[2] - frame.translation.z)});
            }
            frame.scale = 1 / spread;

            cell.imageCount = 8;
            cell.pointCount = 0;
            cell.estimatedMemoryGB = 1;
            cell.recommendedCapMax = 1000000;
            cell.recommendedIterations = 7000;
            cell.expandedPointIds = std::vector<uint64_t>{};
            if (plan.clusterCentroids)
                plan.clusterCentroids->push_back({(cell.coreBounds.minX + cell.coreBounds.maxX) / 2,
                                                  (cell.coreBounds.minZ + cell.coreBounds.maxZ) / 2});

            partition::SeamlessMerger::CellInput input;
            input.plyURL = partitionsFolder / cell.id / options.plyName;
            input.coreBounds = cell.coreBounds;
            input.expandedBounds = cell.expandedBounds;
            input.sparseURL = partitionsFolder / cell.id / "sparse" / "0";
            input.transform = frame;
            if (plan.clusterCentroids) input.clusterCentroidXZ = plan.clusterCentroids->back();
            made.inputs.push_back(input);
            plan.cells.push_back(cell);
            cellImages.push_back(std::move(images));
        }
    }
    plan.totalImages = nextImageId - 1;

    // The scene's Gaussians, each made inside the region it belongs to.
    auto makeGaussian = [&](size_t owner, double x, double z, int64_t reject) {
        SyntheticGaussian g;
        g.position[0] = x;
        g.position[1] = random.uniform(-0.5, 0.5);
        g.position[2] = z;
        g.opacity = float(random.uniform(-2, 4));
        for (auto& value : g.logScale) value = float(random.uniform(-6, -3.5));
        double q[4] = {random.uniform(-1, 1), random.uniform(-1, 1), random.uniform(-1, 1), random.uniform(-1, 1)};
        double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]) + 1e-9;
        for (int k = 0; k < 4; ++k) g.rotation[k] = float(q[k] / norm);
        for (auto& value : g.colour) value = float(random.uniform(-1.5, 1.5));
        g.owner = owner;
        // Rejects: below the opacity minimum, larger than 0.15 of the scene,
        // or a needle (a ratio far above 1e12 between longest and shortest axis).
        if (reject == 0) g.opacity = -5.0f;
        if (reject == 1) g.logScale[2] = -0.5f;
        if (reject == 2) {
            g.logScale[0] = -31.0f;
            g.logScale[1] = -30.5f;
            g.logScale[2] = -3.0f;
        }
        g.survives = reject < 0;
        made.gaussians.push_back(g);
    };
    const double inset = 0.001;
    for (size_t cell = 0; cell < plan.cells.size(); ++cell) {
        const CellBounds& core = plan.cells[cell].coreBounds;
        const CellBounds& expanded = plan.cells[cell].expandedBounds;
        auto inCore = [&](double low, double high) { return low + (inset + (1 - 2 * inset) * random.uniform()) * (high - low); };
        for (int64_t index = 0; index < options.gaussiansPerCell; ++index)
            makeGaussian(cell, inCore(core.minX, core.maxX), inCore(core.minZ, core.maxZ), -1);
        for (int64_t index = 0; index < options.rejectsPerCell; ++index)
            makeGaussian(cell, inCore(core.minX, core.maxX), inCore(core.minZ, core.maxZ), index % 3);
        // Beyond the scene's edge, in the margin only this cell trains.
        for (int64_t index = 0; index < options.edgeGaussians; ++index) {
            double z = inCore(core.minZ, core.maxZ);
            if (core.minX <= scene.minX) makeGaussian(cell, inCore(expanded.minX, core.minX), z, -1);
            if (core.maxX >= scene.maxX) makeGaussian(cell, inCore(core.maxX, expanded.maxX), z, -1);
            double x = inCore(core.minX, core.maxX);
            if (core.minZ <= scene.minZ) makeGaussian(cell, x, inCore(expanded.minZ, core.minZ), -1);
            if (core.maxZ >= scene.maxZ) makeGaussian(cell, x, inCore(core.maxZ, expanded.maxZ), -1);
        }
    }

    // Each cell's model and PLY: every Gaussian of its expanded box, in its frame.
    colmap::CameraMap cameras;
    cameras[1] = colmap::CameraModel{1, 1, 640, 480, {500, 500, 320, 240}};
    for (size_t cell = 0; cell < plan.cells.size(); ++cell) {
        const auto& input = made.inputs[cell];
        colmap::COLMAPUtils::writeModel(cameras, cellImages[cell], {}, input.sparseURL);
        std::vector<float> values;
        int64_t count = 0;
        for (size_t index = 0; index < made.gaussians.size(); ++index) {
            const auto& g = made.gaussians[index];
            if (!input.expandedBounds.contains(g.position[0], g.position[2])) continue;
            values.resize(values.size() + names.size());
            made.fillRecord(index, input.transform, values.data() + values.size() - names.size());
            ++count;
        }
        made.cellRecordCounts.push_back(count);
        writeFloatPly(input.plyURL, names, values);
    }
    return made;
}

}  // namespace tessaron::generators
