#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <unordered_map>
#include <vector>

#include "SplatRenderer/AccessState.hpp"
#include "SplatRenderer/ChunkPages.hpp"
#include "SplatRenderer/ChunkedSplatIndex.hpp"
#include "SplatRenderer/FrameRecords.hpp"
#include "SplatRenderer/GPUBufferPool.hpp"
#include "SplatRenderer/RenderPipelines.hpp"
#include "SplatRenderer/SplatChunk.hpp"
#include "SplatRenderer/SplatSorter.hpp"

namespace splatrenderer {

// Draws Gaussian splats with OpenGL 4.5 core. A client creates one per
// scene, hands it chunks of splats, and asks it every frame to draw into a
// framebuffer. The depth sorter keeps the splats ordered farthest-first on
// its own thread; a frame draws the newest order it finds and never waits
// for a sort beyond its time-out.
//
// Threads: the render thread is the one whose GL context the renderer
// draws with. It creates the renderer, calls render(), collects finished
// frames and destroys the renderer, with that context current. Chunk
// operations may come from any thread; they run under exclusive access,
// which waits until no frame is encoding or on the GPU. The chunk set
// (chunks_, orderedChunkIDs_, chunkIDToIndex_, nextChunkID_,
// chunkSetGeneration_) is written only under exclusive access and
// chunkMutex_, and read under chunkMutex_. The access state and the
// sorter have locks of their own; no two locks are ever held together.
class SplatRenderer {
public:
    struct ClearColor {
        double red = 0, green = 0, blue = 0, alpha = 0;
    };

    struct Configuration {
        // The target's depth format, or 0 when it has no depth.
        GLenum depthFormat = 0;
        // Frames that may be encoding or on the GPU at once.
        int maxSimultaneousRenders = 3;
        // Use the multi-stage set, which writes a blended depth, when the
        // target has depth.
        bool highQualityDepth = false;
        ClearColor clearColor;
        // The most pixels a frame's splats may cover, besides
        // fragmentsPerSplat for each splat in view: a frame that would
        // cover more is drawn at a lower resolution and stretched over its
        // target, and at the lowest with its splats' radius capped, so
        // that no scene can make one frame take minutes. 0: no bound;
        // none: the device's default (defaultFragmentBudget).
        std::optional<std::int64_t> fragmentBudget;
    };

    // What the last call of render() did: for clients that draw only when
    // something changed, and for tests.
    struct FrameReport {
        enum class Outcome { drawn, noFrameSlot, noSortedOrder, skipped };
        Outcome outcome = Outcome::skipped;
        // The order drawn was sorted from this frame's camera position, so
        // a later sort would not change the picture.
        bool sortedForCamera = false;
        // The share of the target's width and height the splats were drawn
        // at (1 at full resolution), and the pixels that makes.
        double resolutionScale = 1;
        std::array<int, 2> resolution{};
        // An upper bound of the pixels the drawn splats covered (at the
        // resolution drawn), and how many splats covered any.
        std::int64_t coveredPixels = 0;
        std::int64_t coveringSplats = 0;
        // The splats' longest half-axis in pixels when it had to be capped; 0
        // when it was not.
        float splatRadiusCap = 0;
        // Projections the frame took to find a resolution within budget.
        int projections = 0;
    };

    enum class ErrorKind { chunkLimitExceeded };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    // 65535, not 65536: chunk indices are 16-bit.
    static constexpr std::size_t maxChunkCount = 65535;
    // At most this many storage blocks of chunk data per frame.
    static constexpr int maxPageCount = 12;
    // The pixels every splat in view may cover beyond the fragment budget.
    // A frame costs per splat too (projection, four vertices, two
    // triangles), about as much as some thousand fragments on llvmpipe; at
    // this share a scene's pixels cost at most about half its splats, so an
    // ordinary scene, however many splats it has, is drawn in full.
    static constexpr std::int64_t fragmentsPerSplat = 384;
    // What a frame whose splats' radius has to be capped keeps: a quarter
    // of the budget, and about twice what the quad of the smallest splat (a
    // pixel wide) is counted per splat. Only a scene of huge splats gets
    // there, and its picture is already a low-resolution one.
    static constexpr std::int64_t cappedFragmentsPerSplat = 32;
    // The lowest resolution a frame is drawn at, as a share of the target's
    // width and height. A software rasteriser shares a frame out by tiles
    // of the target, so a smaller one would leave cores idle; beyond it the
    // splats' radius is capped instead.
    static constexpr double minResolutionScale = 1.0 / 8;
    // The fragment budget when the configuration names none: what a frame
    // shades in about a tenth of a second on this kind of device.
    static std::int64_t defaultFragmentBudget(const GPUDevice& device);

    // Makes no GL object yet; throws GPUBuffer::Error.
    SplatRenderer(const GPUDevice& device, const Configuration& configuration);
    ~SplatRenderer();
    SplatRenderer(const SplatRenderer&) = delete;
    SplatRenderer& operator=(const SplatRenderer&) = delete;

    const GPUDevice& device() const noexcept { return device_; }
    GLenum depthFormat() const noexcept { return configuration_.depthFormat; }
    int maxSimultaneousRenders() const noexcept { return configuration_.maxSimultaneousRenders; }
    bool highQualityDepth() const noexcept { return configuration_.highQualityDepth; }
    // 0: frames are not bounded.
    std::int64_t fragmentBudget() const noexcept { return fragmentBudget_; }
    const ClearColor& clearColor() const noexcept { return configuration_.clearColor; }

    // Adds a chunk (reordered by locality first, when asked, before waiting
    // for access). Throws Error beyond maxChunkCount chunks.
    ChunkID addChunk(SplatChunk chunk, bool sortByLocality, bool enabled);
    // An id that names no chunk changes nothing.
    void setChunkEnabled(ChunkID id, bool enabled);
    void removeChunk(ChunkID id);
    void removeAllChunks();
    void reset() { removeAllChunks(); }

    bool isChunkEnabled(ChunkID id) const;
    // Total splats of the enabled chunks.
    std::int64_t splatCount() const;
    std::size_t chunkCount() const;
    // Whether a frame could start at once.
    bool isReadyToRender() const { return access_.isReadyToRender(); }

    // Runs `body` with exclusive access to the chunk set; chunk operations
    // inside it run at once. Returns its result or rethrows its error.
    template <typename Body>
    auto withChunkAccess(Body&& body) -> decltype(body()) {
        return access_.withExclusiveAccess(std::forward<Body>(body), whileWaitingForAccess_);
    }

    // Runs `handler` on the sort thread after the next published sort.
    void afterNextSort(std::function<void()> handler) { sorter_.afterNextSort(std::move(handler)); }
    void setOnSortStart(std::function<void()> callback) { sorter_.setOnSortStart(std::move(callback)); }
    void setOnSortComplete(std::function<void(double)> callback) { sorter_.setOnSortComplete(std::move(callback)); }
    // Called on the render thread, besides the log line, whenever a frame
    // is skipped for a fault rather than a time-out: a buffer the frame
    // needs cannot be made, or the scene does not fit the device. Set it
    // before the first frame.
    void setOnFrameFailure(std::function<void(const std::string& message)> callback) {
        onFrameFailure_ = std::move(callback);
    }

    // Reorders a chunk's splats by locality, in place.
    static void optimize(SplatChunk& chunk);

    // Packs the points (colour as the degree-0 term only) into as many
    // chunks as the device needs, reorders them by locality and adds them
    // enabled; nothing is added when packing fails. Throws GPUBuffer::Error.
    void add(std::span<const SplatPoint> points);
    void add(const SplatPoint& point) { add(std::span<const SplatPoint>(&point, 1)); }
    // Reads a whole scene file (by its extension) and adds its points;
    // throws the readers' errors before anything is added.
    void read(const std::filesystem::path& file);

    // Draws one frame into `framebuffer` (0: the context's default one),
    // which must have depth exactly when depthFormat() is not 0. Waits up
    // to `accessTimeout` seconds for a frame slot and, when no sorted order
    // exists yet, up to `sortTimeout` seconds for one. True when a frame
    // was drawn and may be shown; a scene without splats draws the clear
    // colour. Throws ShaderProgram::Error when a pipeline cannot be built.
    bool render(const ViewportDescriptor& viewport, GLuint framebuffer, double accessTimeout, double sortTimeout);
    // Render thread only.
    const FrameReport& lastFrame() const noexcept { return lastFrame_; }

    // Ends the frames whose fences have signalled, returning their slots,
    // index buffers and chunk tables. render() does this too; a client that
    // stops drawing calls it (or finishFrames) so that waiting chunk
    // operations can go on. Render thread only.
    void collectCompletedFrames();
    // Waits for the GPU, then ends every frame in flight. Render thread only.
    void finishFrames();

    // For tests and diagnostics.
    SplatSorter& sorter() noexcept { return sorter_; }
    const AccessState& accessState() const noexcept { return access_; }
    std::vector<ChunkID> orderedChunkIDs() const;
    // The chunk (sharing its buffers), or none.
    std::optional<SplatChunk> chunk(ChunkID id) const;

private:
    struct ChunkEntry {
        ChunkID id;
        SplatChunk chunk;
        bool isEnabled = false;
    };

    struct FrameChunk {
        SplatChunk chunk;
        bool isEnabled = false;
    };

    // A frame after it took a sorted order: ended when its fence signals.
    struct PendingFrame {
        GLsync fence = nullptr;
        std::shared_ptr<SplatSorter::IndexBufferStorage> indexBuffer;
        std::optional<GLBufferObject> chunkTable;
    };

    enum class BufferTag { chunks };

    ChunkID addChunkWithAccess(SplatChunk chunk, bool enabled);
    // What one projection of the sorted splats covers.
    struct Footprint {
        std::int64_t coveredPixels = 0;
        std::int64_t coveringSplats = 0;
    };

    bool encode(const ViewportDescriptor& viewport, GLuint framebuffer, const std::vector<FrameChunk>& chunks,
                std::uint64_t chunkSetGeneration, const SplatSorter::CameraPose& pose, PendingFrame& frame);
    // Projects every sorted splat for `target` into the projected-splat
    // batches; measures the footprint when a budget needs it.
    Footprint project(const ViewportDescriptor& target, const SplatSorter::CameraPose& pose,
                      std::uint32_t chunkCount, std::int64_t sortedCount, std::uint32_t indexedSplatCount,
                      std::int64_t batchCapacity, float maxSplatRadius);
    void encodeClearOnly(const ViewportDescriptor& viewport, GLuint framebuffer);
    void beginPass(const ViewportDescriptor& viewport, GLuint framebuffer);
    void endPass();
    // Brings the pages up to date; the chunk table's placements, or none.
    bool updatePages(const std::vector<FrameChunk>& chunks, std::uint64_t chunkSetGeneration);
    void submit(PendingFrame frame);
    // Logs the reason a frame was skipped and tells the client.
    void frameFailed(const std::string& message);
    void completeFrames(bool waitForFirst);

    GPUDevice device_;
    Configuration configuration_;
    std::int64_t fragmentBudget_;
    int pageCount_;

    mutable std::mutex chunkMutex_;
    std::unordered_map<ChunkID, ChunkEntry> chunks_;
    std::uint64_t nextChunkID_ = 0;
    std::vector<ChunkID> orderedChunkIDs_;
    std::unordered_map<ChunkID, std::uint16_t> chunkIDToIndex_;
    std::uint64_t chunkSetGeneration_ = 0;

    SplatSorter sorter_;
    AccessState access_;
    std::atomic<std::thread::id> renderThread_;
    std::function<void()> whileWaitingForAccess_;
    std::function<void(const std::string&)> onFrameFailure_;

    // Render thread only.
    RenderPipelines pipelines_;
    std::vector<std::byte> uniformMirror_;
    GLBufferObject uniformBuffers_;
    std::int64_t uniformBufferIndex_ = 0;
    std::int64_t uniformBufferOffset_ = 0;
    GPUBuffer<std::uint32_t> triangleVertexIndexBuffer_;
    GPUBufferPool<BufferTag> bufferPool_;
    ChunkPages pages_;
    std::uint64_t pagesGeneration_ = ~std::uint64_t(0);
    std::vector<ChunkPages::Placement> placements_;  // two per chunk: records, coefficients
    bool pagesFit_ = false;
    std::vector<GLBufferObject> projectedSplats_;  // one per batch of the sorted order
    std::deque<PendingFrame> pendingFrames_;
    GLBufferObject footprintBuffer_;
    FrameReport lastFrame_;
    // Where the last frame's search for a resolution within budget ended.
    double lastResolutionScale_ = 1;
    float lastRadiusCap_ = std::numeric_limits<float>::max();
    bool passOpen_ = false;
    GLint savedClipOrigin_ = GL_LOWER_LEFT;
    GLint savedClipDepthMode_ = GL_NEGATIVE_ONE_TO_ONE;
};

}  // namespace splatrenderer
