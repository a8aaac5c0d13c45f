#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "PlyKit/PLYHeader.hpp"
#include "colmap/CellNormTransform.hpp"
#include "core/AtomicFile.hpp"
#include "core/Error.hpp"
#include "partition/PartitionPlan.hpp"
#include "partition/VastGaussianPartitioner.hpp"

namespace tessaron::partition {

// Merges the trained cells of a partitioned scene into one binary
// little-endian Gaussian PLY: every Gaussian is brought back from its cell's
// normalised frame into the scene frame, kept only by the cell that owns its
// ground position, and dropped when nearly transparent, too large or
// needle-shaped. Used through static members only; a merge runs
// synchronously on the caller's thread.
class SeamlessMerger {
public:
    // A cell's normalisation: scene position = translation + p / scale.
    using NormTransform = colmap::CellNormTransform;

    // One trained cell. Bounds and centroid are in the scene frame (the
    // plan's normalised frame).
    struct CellInput {
        std::filesystem::path plyURL;
        CellBounds coreBounds;
        CellBounds expandedBounds;
        std::filesystem::path sparseURL;  // not read by the merge
        NormTransform transform;
        std::optional<Point2D> clusterCentroidXZ;
    };

    // A closed vertical range.
    struct YRange {
        double lower = 0;
        double upper = 0;
    };

    // Byte layout of one vertex record, from the vertex element of a header
    // PlyKit has parsed. Offsets of absent properties: x 0, y 4, z 8, the
    // others none.
    struct PlyLayout {
        int64_t stride = 0;
        int64_t xOff = 0;
        int64_t yOff = 4;
        int64_t zOff = 8;
        std::optional<int64_t> opacityOff;
        std::optional<int64_t> scale0Off;
        std::optional<int64_t> scale1Off;
        std::optional<int64_t> scale2Off;
        // The vertex element's properties in order; two cells share a record
        // layout when these are equal.
        std::vector<plykit::PLYHeader::Property> properties;
    };

    // what() is the user-facing text; code() the number callers and logs
    // know: 1 invalid PLY, 2 missing or incomplete cell, 3 no cells,
    // 4 cells whose record layouts the merge cannot combine.
    enum class MergeErrorKind { invalidFormat, incompleteCell, noCells, layoutMismatch };
    class MergeError : public core::ErrorOf<MergeErrorKind> {
    public:
        MergeError(MergeErrorKind kind, const std::string& description) : ErrorOf(kind, description) {}
        static constexpr const char* domain = "SeamlessMerger";
        int code() const noexcept { return int(kind()) + 1; }
    };

    // Survivors of each stage of the record chain, for one cell.
    struct FilterCounts {
        int64_t passedOpacity = 0;
        int64_t passedScale = 0;
        int64_t passedAnisotropy = 0;
        int64_t kept = 0;
        bool operator==(const FilterCounts&) const = default;
    };

    // Everything the record chain needs of one cell.
    struct CellFilter {
        const PlyLayout* layout = nullptr;
        NormTransform transform;
        size_t cellIndex = 0;
        std::span<const Point2D> centroids;  // ownership centroids of all cells
        bool pureVoronoi = false;
        CellBounds owned;                 // midpoint ownership box
        std::optional<YRange> band;       // already widened
        double opacityThreshold = 0;      // logit
        double maxLogScale = 0;           // in the cell's normalised frame
        float logScaleOffset = 0;         // -ln(scale)
    };

    // The settings of one merge.
    struct Options {
        // Ownership by the nearest cluster centroid instead of the midpoint
        // box: true exactly when the plan has cluster centroids.
        bool pureVoronoiOwnership = false;
        // Gaussians less opaque than this are dropped.
        double opacityMin = 0.02;
        // The scene's vertical range, widened by bandMargin; none: no band.
        std::optional<YRange> yRange = {};
        // A symbolic link at the output's name: followed to the file it names
        // (a path the user chose) or replaced (a workspace's own output.ply).
        core::AtomicFile::LinkAtTarget linkAtOutput = core::AtomicFile::LinkAtTarget::follow;
    };

    static constexpr double maxScaleFraction = 0.15;
    static constexpr double overlapShareRate = 0.0;
    static constexpr double needleRatio = 1e12;
    static constexpr double needleLogSpread = 27.631021115928547;  // ln(needleRatio)
    static constexpr double edgeTolerance = 0.01;
    static constexpr double bandMargin = 0.2;

    // Merges `cells` in order into `outputURL`, replaced atomically once
    // every cell has been read: any failure leaves an existing file as it
    // was. Throws MergeError, a cell's read error or the output's write
    // error.
    static void merge(const std::vector<CellInput>& cells, const std::filesystem::path& outputURL,
                      const CellBounds& sceneBounds, const Options& options, const PartitionLog& log = {});
    static void merge(const std::vector<CellInput>& cells, const std::filesystem::path& outputURL,
                      const CellBounds& sceneBounds) {
        merge(cells, outputURL, sceneBounds, Options());
    }

    // The cell's core box with every side that lies on the scene's edge
    // pushed out to the expanded box.
    static CellBounds ownedBounds(const CellInput& cell, const CellBounds& sceneBounds);
    // Whether any core side lies within edgeTolerance of (or beyond) the scene's side.
    static bool isEdgeCell(const CellInput& cell, const CellBounds& sceneBounds);

    // Runs the record chain over `count` records and appends each kept,
    // rewritten record at `output` (room for count records needed).
    static FilterCounts filterCell(const std::byte* records, size_t count, const CellFilter& filter,
                                   std::byte* output);
    // Puts the scene position into x, y, z and adds the offset to each scale.
    static void writeRecord(std::byte* record, const PlyLayout& layout, const float position[3],
                            float logScaleOffset);

    // The record layout of a vertex element: each property's bytes from its
    // type. Throws MergeError layoutMismatch, naming the property, for a
    // list (records of varying length), or for one the filters read and
    // rewrite (x, y, z, opacity, scale_0..2) that is not a 4-byte float.
    static PlyLayout recordLayout(const plykit::PLYHeader::Element& vertex, const std::string& cellName);
    static std::string rewriteVertexCount(std::string_view header, int64_t count);

    // The normalisation of a cell from the camera centres in its images.bin;
    // none when no centre can be read. Never throws.
    static std::optional<NormTransform> estimateNormTransform(const std::filesystem::path& sparseURL) {
        return NormTransform::estimate(sparseURL);
    }
};

}  // namespace tessaron::partition
