// The seamless merge of trained cells into one Gaussian PLY.
#include "partition/SeamlessMerger.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include "core/AtomicFile.hpp"
#include "core/RegularFile.hpp"
#include "core/NumberText.hpp"
#include "core/FileError.hpp"
#include "engines/PLYCheck.hpp"

namespace tessaron::partition {

using core::fixedText;
using core::shortestText;

namespace {

static_assert(std::endian::native == std::endian::little, "records are read and written as little-endian floats");

float loadFloat(const std::byte* at) {
    float value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void storeFloat(std::byte* at, float value) { std::memcpy(at, &value, sizeof value); }

// The merged file, built in anonymous memory that grows in place: pages are
// only committed as the kept records reach them, and growth remaps instead of
// copying, so the peak stays near the output's own size.
class OutputBuffer {
public:
    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer() {
        if (data_) ::munmap(data_, capacity_);
    }

    void reserve(size_t wanted) {
        if (wanted <= capacity_) return;
        size_t page = size_t(::sysconf(_SC_PAGESIZE));
        size_t rounded = (wanted + page - 1) / page * page;
        void* grown = data_ ? ::mremap(data_, capacity_, rounded, MREMAP_MAYMOVE)
                            : ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (grown == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<std::byte*>(grown);
        capacity_ = rounded;
    }
    std::byte* data() noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    void grow(size_t bytes) noexcept { size_ += bytes; }

private:
    std::byte* data_ = nullptr;
    size_t capacity_ = 0;
    size_t size_ = 0;
};

// A cell PLY read front to back in chunks: a cell can be larger than memory
// allows to hold twice, and a file that shrinks under the merge gives an
// error, not a fault.
class CellFile {
public:
    explicit CellFile(const std::filesystem::path& path) : path_(path) {
        auto opened = core::RegularFile::openForReading(path);
        if (!opened.isOpen()) throw core::FileError("Could not read", path, opened.error());
        size_ = opened.size();
        descriptor_ = opened.release();
        ::posix_fadvise(descriptor_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    CellFile(const CellFile&) = delete;
    CellFile& operator=(const CellFile&) = delete;
    ~CellFile() { ::close(descriptor_); }

    uint64_t size() const noexcept { return size_; }

    // Reads up to `length` bytes at `offset`; fewer only at the end of the file.
    size_t readAt(uint64_t offset, std::byte* into, size_t length) const {
        size_t done = 0;
        while (done < length) {
            ssize_t result = ::pread(descriptor_, into + done, length - done, off_t(offset + done));
            if (result < 0) {
                if (errno == EINTR) continue;
                core::FileError::throwErrno("Could not read", path_);
            }
            if (result == 0) break;
            done += size_t(result);
        }
        return done;
    }

private:
    std::filesystem::path path_;
    int descriptor_ = -1;
    uint64_t size_ = 0;
};

constexpr size_t kChunkBytes = 512 * 1024;  // stays in cache between the read and the filter

std::string folderName(const SeamlessMerger::CellInput& cell) { return cell.plyURL.parent_path().filename().string(); }

}  // namespace

bool SeamlessMerger::isEdgeCell(const CellInput& cell, const CellBounds& scene) {
    const CellBounds& core = cell.coreBounds;
    return core.minX - scene.minX < edgeTolerance || scene.maxX - core.maxX < edgeTolerance ||
           core.minZ - scene.minZ < edgeTolerance || scene.maxZ - core.maxZ < edgeTolerance;
}

CellBounds SeamlessMerger::ownedBounds(const CellInput& cell, const CellBounds& scene) {
    const CellBounds& core = cell.coreBounds;
    const CellBounds& expanded = cell.expandedBounds;
    double marginX = std::max(0.0, (expanded.maxX - expanded.minX) - (core.maxX - core.minX));
    double marginZ = std::max(0.0, (expanded.maxZ - expanded.minZ) - (core.maxZ - core.minZ));
    double widenX = overlapShareRate * 0.5 * marginX;
    double widenZ = overlapShareRate * 0.5 * marginZ;
    // A side on the scene's edge has no neighbour to hand its margin to.
    return {core.minX - scene.minX < edgeTolerance ? expanded.minX : core.minX - widenX,
            scene.maxX - core.maxX < edgeTolerance ? expanded.maxX : core.maxX + widenX,
            core.minZ - scene.minZ < edgeTolerance ? expanded.minZ : core.minZ - widenZ,
            scene.maxZ - core.maxZ < edgeTolerance ? expanded.maxZ : core.maxZ + widenZ};
}

void SeamlessMerger::writeRecord(std::byte* record, const PlyLayout& layout, const float position[3],
                                 float logScaleOffset) {
    storeFloat(record + layout.xOff, position[0]);
    storeFloat(record + layout.yOff, position[1]);
    storeFloat(record + layout.zOff, position[2]);
    for (const auto& offset : {layout.scale0Off, layout.scale1Off, layout.scale2Off})
        if (offset) storeFloat(record + *offset, loadFloat(record + *offset) + logScaleOffset);
}

SeamlessMerger::FilterCounts SeamlessMerger::filterCell(const std::byte* records, size_t count,
                                                        const CellFilter& filter, std::byte* output) {
    const PlyLayout& layout = *filter.layout;
    const size_t stride = size_t(layout.stride);
    const bool hasScales = layout.scale0Off && layout.scale1Off && layout.scale2Off;
    const std::optional<int64_t> scaleOffsets[3] = {layout.scale0Off, layout.scale1Off, layout.scale2Off};
    const double scale = filter.transform.scale;
    const auto& translation = filter.transform.translation;
    const double ownX = filter.pureVoronoi ? filter.centroids[filter.cellIndex].x : 0;
    const double ownZ = filter.pureVoronoi ? filter.centroids[filter.cellIndex].z : 0;

    FilterCounts counts;
    for (size_t index = 0; index < count; ++index) {
        const std::byte* record = records + index * stride;

        // Nearly transparent. A non-finite opacity is no opacity at all.
        if (layout.opacityOff) {
            float opacity = loadFloat(record + *layout.opacityOff);
            if (!std::isfinite(opacity) || filter.opacityThreshold > double(opacity)) continue;
        }
        ++counts.passedOpacity;

        if (hasScales) {
            float s[3] = {loadFloat(record + *layout.scale0Off), loadFloat(record + *layout.scale1Off),
                          loadFloat(record + *layout.scale2Off)};
            if (!std::isfinite(s[0]) || !std::isfinite(s[1]) || !std::isfinite(s[2])) continue;
            // Larger than a fraction of the scene.
            if (filter.maxLogScale < double(std::max({s[0], s[1], s[2]}))) continue;
            ++counts.passedScale;
            // A needle: one axis far longer than the shortest, and the middle
            // one nearer the shortest.
            std::sort(s, s + 3);
            double lo = s[0], mid = s[1], hi = s[2];
            if (hi - lo > needleLogSpread && mid - lo < hi - mid) continue;
            ++counts.passedAnisotropy;
        } else {
            bool finite = true;
            for (const auto& offset : scaleOffsets)
                if (offset && !std::isfinite(loadFloat(record + *offset))) finite = false;
            if (!finite) continue;
            ++counts.passedScale;
            ++counts.passedAnisotropy;
        }

        float position[3] = {float(translation.x + double(loadFloat(record + layout.xOff)) / scale),
                             float(translation.y + double(loadFloat(record + layout.yOff)) / scale),
                             float(translation.z + double(loadFloat(record + layout.zOff)) / scale)};
        if (!std::isfinite(position[0]) || !std::isfinite(position[1]) || !std::isfinite(position[2])) continue;
        const double x = position[0], y = position[1], z = position[2];

        if (filter.pureVoronoi) {
            double own = (x - ownX) * (x - ownX) + (z - ownZ) * (z - ownZ);
            bool nearerElsewhere = false;
            for (size_t other = 0; other < filter.centroids.size() && !nearerElsewhere; ++other) {
                if (other == filter.cellIndex) continue;
                double dx = x - filter.centroids[other].x, dz = z - filter.centroids[other].z;
                nearerElsewhere = dx * dx + dz * dz < own;
            }
            if (nearerElsewhere) continue;
        } else if (!filter.owned.contains(x, z)) {
            continue;
        }
        if (filter.band && (y < filter.band->lower || filter.band->upper < y)) continue;

        std::byte* kept = output + size_t(counts.kept) * stride;
        std::memcpy(kept, record, stride);
        writeRecord(kept, layout, position, filter.logScaleOffset);
        ++counts.kept;
    }
    return counts;
}

void SeamlessMerger::merge(const std::vector<CellInput>& cells, const std::filesystem::path& outputURL,
                           const CellBounds& sceneBounds, const Options& options, const PartitionLog& log) {
    if (cells.empty()) throw MergeError(MergeErrorKind::noCells, "No cells to merge — nothing to write.");
    auto say = [&](const std::string& line) {
        if (log) log(line);
    };

    std::optional<YRange> band;
    if (const auto& yRange = options.yRange) {
        double margin = bandMargin * (yRange->upper - yRange->lower);
        band = YRange{yRange->lower - margin, yRange->upper + margin};
    }
    const bool pureVoronoi = options.pureVoronoiOwnership;
    const double minimumOpacity = options.opacityMin;

    std::vector<Point2D> centroids;
    for (const auto& cell : cells)
        centroids.push_back(cell.clusterCentroidXZ.value_or(
            Point2D{cell.transform.translation.x, cell.transform.translation.z}));

    const std::string spatial =
        pureVoronoi ? "pure-voronoi (cluster-centroid ownership over " + std::to_string(cells.size()) + " cells)"
                    : "midpoint (overlapShareRate=" + shortestText(overlapShareRate) + ")";
    const std::string bandText =
        band ? "[" + fixedText(band->lower, 2) + ", " + fixedText(band->upper, 2) + "]" : std::string("off");
    say("Starting Seamless Merge for " + std::to_string(cells.size()) + " cells.");
    say("Filter: input=normalised (legacy), spatial=" + spatial + ", Y=" + bandText +
        ", opacityMin=" + shortestText(minimumOpacity) + ", maxScaleFraction=" + shortestText(maxScaleFraction) +
        ", anisotropy=needle-only(≤" + shortestText(needleRatio) + "×), visibility=off");

    const double minExtent =
        std::min(sceneBounds.maxX - sceneBounds.minX, sceneBounds.maxZ - sceneBounds.minZ);
    double clampedOpacity = minimumOpacity;
    if (clampedOpacity > 0.999999999) clampedOpacity = 0.999999999;
    if (minimumOpacity <= 1e-9) clampedOpacity = 1e-9;
    const double opacityThreshold = std::log(clampedOpacity / (1 - clampedOpacity));

    OutputBuffer output;
    std::string firstHeader;
    PlyLayout firstLayout;
    size_t headerRoom = 0;
    int64_t total = 0;
    std::vector<std::byte> chunk;

    for (size_t index = 0; index < cells.size(); ++index) {
        const CellInput& cell = cells[index];
        const std::string name = folderName(cell);
        engines::PLYCheck::Layout checked;
        try {
            checked = engines::PLYCheck::validate(cell.plyURL);
        } catch (const engines::PLYCheck::Failure& failure) {
            throw MergeError(MergeErrorKind::incompleteCell,
                             "Cell model " + name + " is missing or incomplete: " + failure.what());
        }

        CellFile file(cell.plyURL);
        const size_t headerBytes = checked.headerText.size();
        auto vertex = checked.header.index("vertex");
        if (!vertex) throw MergeError(MergeErrorKind::invalidFormat, "Invalid PLY format");
        const plykit::PLYHeader::Element& vertexElement = checked.header.elements[*vertex];
        PlyLayout layout = recordLayout(vertexElement, name);
        for (const char* needed : {"x", "y", "z", "opacity", "scale_0", "scale_1", "scale_2"})
            if (!vertexElement.index(needed))
                throw MergeError(MergeErrorKind::layoutMismatch,
                                 "Cell model " + name + " has no \"" + needed + "\" property in its vertex records");

        // Records are copied whole under the first cell's header, so every
        // cell must describe them alike.
        if (index == 0) {
            firstHeader = checked.headerText;
            firstLayout = layout;
            headerRoom = firstHeader.size() + 32;  // the count line may grow by up to 20 digits
            output.reserve(headerRoom);
            output.grow(headerRoom);
        } else if (layout.properties != firstLayout.properties) {
            throw MergeError(MergeErrorKind::layoutMismatch,
                             "Cell model " + name + " has a different record layout from cell model " +
                                 folderName(cells[0]) + "; cells can only be merged with one layout");
        }

        const size_t stride = size_t(layout.stride);
        // A file that shrank since the check fails on its short read below.
        const size_t n = size_t(checked.vertexCount);

        CellFilter filter;
        filter.layout = &layout;
        filter.transform = cell.transform;
        filter.cellIndex = index;
        filter.centroids = centroids;
        filter.pureVoronoi = pureVoronoi;
        filter.owned = ownedBounds(cell, sceneBounds);
        filter.band = band;
        filter.opacityThreshold = opacityThreshold;
        filter.maxLogScale = std::log(maxScaleFraction * minExtent * cell.transform.scale);
        filter.logScaleOffset = float(-std::log(cell.transform.scale));

        output.reserve(output.size() + n * stride);
        const size_t chunkRecords = std::max<size_t>(1, kChunkBytes / stride);
        chunk.resize(chunkRecords * stride);
        FilterCounts counts;
        for (size_t done = 0; done < n;) {
            size_t records = std::min(chunkRecords, n - done);
            size_t wanted = records * stride;
            uint64_t offset = headerBytes + uint64_t(done) * stride;
            size_t got = file.readAt(offset, chunk.data(), wanted);
            if (got < wanted) {
                auto failure = engines::PLYCheck::Failure::sizeMismatch(int64_t(file.size()), int64_t(offset + got));
                throw MergeError(MergeErrorKind::incompleteCell,
                                 "Cell model " + name + " is missing or incomplete: " + failure.what());
            }
            FilterCounts part = filterCell(chunk.data(), records, filter, output.data() + output.size());
            output.grow(size_t(part.kept) * stride);
            counts.passedOpacity += part.passedOpacity;
            counts.passedScale += part.passedScale;
            counts.passedAnisotropy += part.passedAnisotropy;
            counts.kept += part.kept;
            done += records;
        }
        total += counts.kept;

        if (log) {
            std::string percentage = n < 1 ? "0%" : fixedText(double(counts.kept) / double(n) * 100, 1) + "%";
            std::string edge = isEdgeCell(cell, sceneBounds) ? " (edge cell, bounds extended)" : "";
            log("Cell " + std::to_string(index) + ": " + std::to_string(n) + " → " +
                std::to_string(counts.passedOpacity) + " (op) → " + std::to_string(counts.passedScale) + " (sz) → " +
                std::to_string(counts.passedAnisotropy) + " (aniso) → " + std::to_string(counts.kept) +
                " (spatial) → " + std::to_string(counts.kept) + " kept (" + percentage + ")" + edge +
                ". scale=" + fixedText(cell.transform.scale, 4));
            if (counts.kept == 0 && n > 0)
                log("⚠ Cell " + std::to_string(index) + ": Retained 0/" + std::to_string(n) +
                    " Gaussians — possible bounds/visibility mismatch.");
        }
    }

    // The header goes right before the body, into the room left for it.
    const std::string header = rewriteVertexCount(firstHeader, total);
    const size_t bodyBytes = output.size() - headerRoom;
    std::string_view merged;
    std::string joined;
    if (header.size() <= headerRoom) {
        std::byte* start = output.data() + (headerRoom - header.size());
        std::memcpy(start, header.data(), header.size());
        merged = std::string_view(reinterpret_cast<const char*>(start), header.size() + bodyBytes);
    } else {
        joined = header;
        joined.append(reinterpret_cast<const char*>(output.data() + headerRoom), bodyBytes);
        merged = joined;
    }
    core::AtomicFile::write(outputURL, merged, options.linkAtOutput);
    say("Exported seamlessly merged PLY: " + std::to_string(total) + " total Gaussians.");
}

}  // namespace tessaron::partition
