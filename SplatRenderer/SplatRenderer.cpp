#include "SplatRenderer/SplatRenderer.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatRenderer/LocalityOrder.hpp"
#include "SplatRenderer/RendererLog.hpp"

namespace splatrenderer {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void logError(const std::string& message) { RendererLog::write(RendererLog::Level::error, "SplatRenderer", message); }

// Storage-block bindings of the frame: uniforms are a uniform block at 0.
constexpr GLuint chunkTableBinding = 1;
constexpr GLuint sortedIndicesBinding = 2;
constexpr GLuint firstPageBinding = 3;
constexpr GLuint projectedSplatsBinding = 15;
constexpr GLuint footprintBinding = 0;
constexpr GLuint projectionGroupSize = 128;

// The same view drawn into the lower left `scale` of the target's pixels.
ViewportDescriptor atResolution(const ViewportDescriptor& viewport, double scale) {
    ViewportDescriptor target = viewport;
    const int width = std::max(1, int(std::lround(double(viewport.screenSize[0]) * scale)));
    const int height = std::max(1, int(std::lround(double(viewport.screenSize[1]) * scale)));
    target.viewport = {0, 0, double(width), double(height), viewport.viewport.znear, viewport.viewport.zfar};
    target.screenSize = {width, height};
    return target;
}

}  // namespace

std::int64_t SplatRenderer::defaultFragmentBudget(const GPUDevice& device) {
    // llvmpipe shades some 4·10⁸ of these fragments a second on 8 cores:
    // the budget is a tenth of a second's worth.
    return device.isSoftwareRasterizer() ? 32'000'000 : 1'000'000'000;
}

SplatRenderer::SplatRenderer(const GPUDevice& device, const Configuration& configuration)
    : device_(device),
      configuration_(configuration),
      fragmentBudget_(std::max<std::int64_t>(configuration.fragmentBudget.value_or(defaultFragmentBudget(device)), 0)),
      // The projection stage also reads the chunk table and the sorted order
      // and writes the projected splats and the frame's footprint.
      pageCount_(std::clamp(device.maxStorageBlocks() - 4, 1, maxPageCount)),
      sorter_(device),
      access_(std::max(configuration.maxSimultaneousRenders, 1)),
      renderThread_(std::this_thread::get_id()),
      pipelines_(pageCount_),
      triangleVertexIndexBuffer_(device, 1),
      pages_(device.maxBufferLength(), pageCount_) {
    configuration_.maxSimultaneousRenders = std::max(configuration.maxSimultaneousRenders, 1);
    uniformMirror_.assign(std::size_t(configuration_.maxSimultaneousRenders * uniformSlotStride), std::byte{0});
    // The shaders are part of the library; a missing one stops here.
    for (const char* file :
         {"SplatUniforms.glsl", "SplatData.glsl", "ProjectSplats.glsl", "SplatVertex.glsl", "SplatFragment.glsl",
          "PostprocessVertex.glsl", "PostprocessFragment.glsl"})
        ShaderProgram::librarySource(file);
    // The render thread waiting for chunk access ends its own finished
    // frames meanwhile: nobody else can see their fences.
    whileWaitingForAccess_ = [this] {
        if (std::this_thread::get_id() == renderThread_.load()) completeFrames(true);
    };
}

SplatRenderer::~SplatRenderer() {
    if (!pendingFrames_.empty()) finishFrames();
}

// Chunk set

void SplatRenderer::optimize(SplatChunk& chunk) { LocalityOrder::optimize(chunk); }

ChunkID SplatRenderer::addChunk(SplatChunk chunk, bool sortByLocality, bool enabled) {
    if (sortByLocality) optimize(chunk);
    return withChunkAccess([&] { return addChunkWithAccess(std::move(chunk), enabled); });
}

ChunkID SplatRenderer::addChunkWithAccess(SplatChunk chunk, bool enabled) {
    ChunkID id;
    std::uint16_t index = 0;
    std::shared_ptr<const GPUBuffer<EncodedSplatPoint>> splats = chunk.splats;
    {
        std::lock_guard lock(chunkMutex_);
        if (orderedChunkIDs_.size() >= maxChunkCount)
            throw Error(ErrorKind::chunkLimitExceeded, "Maximum chunk count (" + std::to_string(maxChunkCount) +
                                                           ") exceeded; chunk will not be added");
        id = ChunkID{nextChunkID_++};
        index = std::uint16_t(orderedChunkIDs_.size());
        chunks_.emplace(id, ChunkEntry{id, std::move(chunk), enabled});
        orderedChunkIDs_.push_back(id);
        chunkIDToIndex_[id] = index;
        ++chunkSetGeneration_;
    }
    try {
        sorter_.addChunk(index, std::move(splats));
    } catch (const GPUBufferBase::Error& error) {
        // The chunk is in; the next sort that fits restores a full order.
        logError(std::string("Sorting order not extended for the new chunk: ") + error.what());
    }
    return id;
}

void SplatRenderer::setChunkEnabled(ChunkID id, bool enabled) {
    withChunkAccess([&] {
        std::lock_guard lock(chunkMutex_);
        if (auto found = chunks_.find(id); found != chunks_.end()) found->second.isEnabled = enabled;
    });
}

void SplatRenderer::removeChunk(ChunkID id) {
    withChunkAccess([&] {
        std::map<std::uint16_t, std::uint16_t> indexMap;
        std::uint16_t removedIndex = 0;
        {
            std::lock_guard lock(chunkMutex_);
            auto found = chunkIDToIndex_.find(id);
            if (found == chunkIDToIndex_.end()) return;
            removedIndex = found->second;
            chunks_.erase(id);
            orderedChunkIDs_.erase(std::find(orderedChunkIDs_.begin(), orderedChunkIDs_.end(), id));
            chunkIDToIndex_.clear();
            for (std::size_t i = 0; i < orderedChunkIDs_.size(); ++i) {
                chunkIDToIndex_[orderedChunkIDs_[i]] = std::uint16_t(i);
                const std::size_t oldIndex = i < removedIndex ? i : i + 1;
                indexMap[std::uint16_t(oldIndex)] = std::uint16_t(i);
            }
            ++chunkSetGeneration_;
        }
        try {
            sorter_.removeChunk(removedIndex, indexMap);
        } catch (const GPUBufferBase::Error& error) {
            logError(std::string("Sorting order not rebuilt after a removal: ") + error.what());
        }
    });
}

void SplatRenderer::removeAllChunks() {
    withChunkAccess([&] {
        {
            std::lock_guard lock(chunkMutex_);
            chunks_.clear();
            orderedChunkIDs_.clear();
            chunkIDToIndex_.clear();
            ++chunkSetGeneration_;
        }
        sorter_.removeAllChunks();
    });
}

bool SplatRenderer::isChunkEnabled(ChunkID id) const {
    std::lock_guard lock(chunkMutex_);
    auto found = chunks_.find(id);
    return found != chunks_.end() && found->second.isEnabled;
}

std::int64_t SplatRenderer::splatCount() const {
    std::lock_guard lock(chunkMutex_);
    std::int64_t total = 0;
    for (const auto& [id, entry] : chunks_)
        if (entry.isEnabled) total += entry.chunk.splatCount();
    return total;
}

std::size_t SplatRenderer::chunkCount() const {
    std::lock_guard lock(chunkMutex_);
    return orderedChunkIDs_.size();
}

std::vector<ChunkID> SplatRenderer::orderedChunkIDs() const {
    std::lock_guard lock(chunkMutex_);
    return orderedChunkIDs_;
}

std::optional<SplatChunk> SplatRenderer::chunk(ChunkID id) const {
    std::lock_guard lock(chunkMutex_);
    auto found = chunks_.find(id);
    if (found == chunks_.end()) return std::nullopt;
    return found->second.chunk;
}

void SplatRenderer::add(std::span<const SplatPoint> points) {
    // Every chunk is packed before any is added, so a failure adds none.
    const auto perChunk = std::size_t(GPUBuffer<EncodedSplatPoint>::maxCapacity(device_));
    std::vector<SplatChunk> chunks;
    std::vector<EncodedSplatPoint> packed;
    std::size_t first = 0;
    do {
        const auto slice = points.subspan(first, std::min(perChunk, points.size() - first));
        auto splats = std::make_shared<GPUBuffer<EncodedSplatPoint>>(device_, 1);
        splats->ensureCapacity(std::int64_t(slice.size()));
        packed.clear();
        for (const auto& point : slice) packed.emplace_back(point);
        splats->append(std::span<const EncodedSplatPoint>(packed));
        SplatChunk chunk(std::move(splats), nullptr, SHDegree::sh0);
        optimize(chunk);
        chunks.push_back(std::move(chunk));
        first += slice.size();
    } while (first < points.size());
    withChunkAccess([&] {
        for (auto& chunk : chunks) addChunkWithAccess(std::move(chunk), true);
    });
}

void SplatRenderer::read(const std::filesystem::path& file) {
    const std::vector<SplatPoint> points = splatformats::AutodetectSceneReader(file).readAll();
    add(points);
}

// Frames

void SplatRenderer::collectCompletedFrames() { completeFrames(false); }

void SplatRenderer::finishFrames() {
    if (pendingFrames_.empty()) return;
    glFinish();
    completeFrames(false);
}

void SplatRenderer::completeFrames(bool waitForFirst) {
    // Frames complete in the order they were submitted.
    while (!pendingFrames_.empty()) {
        PendingFrame& frame = pendingFrames_.front();
        const GLuint64 timeout = waitForFirst ? 1'000'000 : 0;  // 1 ms
        const GLenum status = glClientWaitSync(frame.fence, GL_SYNC_FLUSH_COMMANDS_BIT, timeout);
        if (status != GL_ALREADY_SIGNALED && status != GL_CONDITION_SATISFIED) return;
        waitForFirst = false;
        glDeleteSync(frame.fence);
        access_.endFrameInFlight();
        if (frame.indexBuffer) sorter_.releaseIndexBuffer(frame.indexBuffer);
        if (frame.chunkTable) bufferPool_.releaseBuffer(std::move(*frame.chunkTable), BufferTag::chunks);
        pendingFrames_.pop_front();
    }
}

void SplatRenderer::frameFailed(const std::string& message) {
    logError(message);
    if (onFrameFailure_) onFrameFailure_(message);
}

void SplatRenderer::submit(PendingFrame frame) {
    frame.fence = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    glFlush();
    pendingFrames_.push_back(std::move(frame));
    access_.finishEncoding();
}

bool SplatRenderer::render(const ViewportDescriptor& viewport, GLuint framebuffer, double accessTimeout,
                           double sortTimeout) {
    renderThread_.store(std::this_thread::get_id());
    lastFrame_ = FrameReport{};
    lastFrame_.outcome = FrameReport::Outcome::noFrameSlot;
    completeFrames(false);

    const auto accessDeadline = deadlineAfter(accessTimeout);
    while (!access_.tryBeginFrame()) {
        if (Clock::now() >= accessDeadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        completeFrames(false);
    }

    // The chunk set cannot change until this frame has completed.
    std::vector<FrameChunk> chunks;
    std::uint64_t chunkSetGeneration = 0;
    std::int64_t totalSplats = 0;
    {
        std::lock_guard lock(chunkMutex_);
        chunks.reserve(orderedChunkIDs_.size());
        for (const ChunkID& id : orderedChunkIDs_)
            if (auto found = chunks_.find(id); found != chunks_.end()) {
                chunks.push_back(FrameChunk{found->second.chunk, found->second.isEnabled});
                totalSplats += found->second.chunk.splatCount();
            }
        chunkSetGeneration = chunkSetGeneration_;
    }

    const SplatSorter::CameraPose pose = cameraPoseForSorting(viewport);
    sorter_.setCameraPose(pose);

    if (totalSplats == 0) {
        // Nothing to draw is still a frame: the target shows the clear
        // colour rather than whatever it held before.
        encodeClearOnly(viewport, framebuffer);
        submit(PendingFrame{});
        lastFrame_.outcome = FrameReport::Outcome::drawn;
        lastFrame_.sortedForCamera = true;
        return true;
    }

    auto order = sorter_.acquireNewestOrder();
    if (!order.buffer && sortTimeout > 0) {
        const auto sortDeadline = deadlineAfter(sortTimeout);
        while (!order.buffer && Clock::now() < sortDeadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            order = sorter_.acquireNewestOrder();
        }
    }
    if (!order.buffer) {
        access_.finishEncoding();
        access_.endFrameInFlight();
        lastFrame_.outcome = FrameReport::Outcome::noSortedOrder;
        return false;
    }

    PendingFrame frame;
    frame.indexBuffer = order.buffer;
    lastFrame_.outcome = FrameReport::Outcome::skipped;
    bool drawn = false;
    try {
        drawn = encode(viewport, framebuffer, chunks, chunkSetGeneration, pose, frame);
    } catch (...) {
        endPass();
        submit(std::move(frame));  // the frame still ends through its fence
        throw;
    }
    submit(std::move(frame));
    if (drawn) {
        lastFrame_.outcome = FrameReport::Outcome::drawn;
        lastFrame_.sortedForCamera = order.sortedFrom == pose.position;
    }
    return drawn;
}

bool SplatRenderer::updatePages(const std::vector<FrameChunk>& chunks, std::uint64_t chunkSetGeneration) {
    if (pagesGeneration_ == chunkSetGeneration) return pagesFit_;
    std::vector<ChunkPages::Block> blocks;
    blocks.reserve(2 * chunks.size());
    for (const auto& frameChunk : chunks) {
        const auto& splats = frameChunk.chunk.splats;
        blocks.push_back({splats, splats->values(), splats->count() * GPUBuffer<EncodedSplatPoint>::stride});
        const auto& coefficients = frameChunk.chunk.shCoefficients;
        if (coefficients && frameChunk.chunk.shDegree != SHDegree::sh0)
            blocks.push_back({coefficients, coefficients->values(), coefficients->count() * GPUBuffer<Half>::stride});
        else
            blocks.push_back({});
    }
    pagesGeneration_ = chunkSetGeneration;
    auto placements = pages_.update(blocks);
    pagesFit_ = placements.has_value();
    if (!pagesFit_) {
        frameFailed("The scene needs more than " + std::to_string(pageCount_) + " buffers of " +
                    std::to_string(device_.maxBufferLength()) + " bytes; it cannot be drawn");
        return false;
    }
    placements_ = std::move(*placements);
    return true;
}

void SplatRenderer::beginPass(const ViewportDescriptor& viewport, GLuint framebuffer) {
    // Depth from 0 to 1 in clip space, as the projections here are made;
    // the client's setting comes back in endPass().
    passOpen_ = true;
    glGetIntegerv(GL_CLIP_ORIGIN, &savedClipOrigin_);
    glGetIntegerv(GL_CLIP_DEPTH_MODE, &savedClipDepthMode_);
    glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glDisable(GL_SCISSOR_TEST);
    glDisable(GL_CULL_FACE);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    const auto& clear = configuration_.clearColor;
    const GLfloat clearColor[] = {GLfloat(clear.red), GLfloat(clear.green), GLfloat(clear.blue), GLfloat(clear.alpha)};
    glClearNamedFramebufferfv(framebuffer, GL_COLOR, 0, clearColor);
    if (configuration_.depthFormat != 0) {
        const GLfloat clearDepth = 0;
        glDepthMask(GL_TRUE);
        glClearNamedFramebufferfv(framebuffer, GL_DEPTH, 0, &clearDepth);
    }
    const auto& area = viewport.viewport;
    glViewport(GLint(area.originX), GLint(area.originY), GLsizei(area.width), GLsizei(area.height));
    glDepthRangef(GLfloat(area.znear), GLfloat(area.zfar));
}

void SplatRenderer::endPass() {
    if (!passOpen_) return;
    passOpen_ = false;
    glClipControl(GLenum(savedClipOrigin_), GLenum(savedClipDepthMode_));
    glBindVertexArray(0);
    glUseProgram(0);
    glDisable(GL_BLEND);
    glDepthFunc(GL_LESS);
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_TRUE);
}

void SplatRenderer::encodeClearOnly(const ViewportDescriptor& viewport, GLuint framebuffer) {
    beginPass(viewport, framebuffer);
    endPass();
}

bool SplatRenderer::encode(const ViewportDescriptor& viewport, GLuint framebuffer,
                           const std::vector<FrameChunk>& chunks, std::uint64_t chunkSetGeneration,
                           const SplatSorter::CameraPose& pose, PendingFrame& frame) {
    const std::int64_t sortedCount = frame.indexBuffer->count();
    if (sortedCount == 0) return false;
    // A frame without room for its buffers is skipped; the log says why.
    const FrameGeometry geometry = FrameGeometry::forSplatCount(sortedCount);

    // Uniforms go into the next slot of the ring (written with each
    // projection, below).
    uniformBufferIndex_ = (uniformBufferIndex_ + 1) % configuration_.maxSimultaneousRenders;
    uniformBufferOffset_ = uniformBufferIndex_ * uniformSlotStride;
    // Checked before anything is encoded.
    makeUniforms(viewport, pose.position, std::uint32_t(chunks.size()), std::uint32_t(sortedCount),
                 geometry.indexedSplatCount);
    if (!uniformBuffers_)
        uniformBuffers_ = GLBufferObject(std::int64_t(uniformMirror_.size()), "Uniform Buffers");

    if (!updatePages(chunks, chunkSetGeneration)) return false;

    // The chunk table, in a pooled buffer when one is long enough.
    const std::int64_t tableLength = std::max<std::int64_t>(std::int64_t(chunks.size()), 1) *
                                     std::int64_t(sizeof(ChunkTableEntry));
    std::optional<GLBufferObject> table = bufferPool_.acquireBuffer(BufferTag::chunks);
    if (!table || table->length() < tableLength) {
        try {
            table = GLBufferObject(tableLength, "Chunks");
        } catch (const GPUBufferBase::Error& error) {
            frameFailed(std::string("Frame skipped, no chunk table: ") + error.what());
            return false;
        }
    }
    std::vector<ChunkTableEntry> entries(chunks.size());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const auto& chunk = chunks[i].chunk;
        auto& entry = entries[i];
        entry.splatPage = placements_[2 * i].page;
        entry.splatBase = placements_[2 * i].wordOffset;
        if (chunk.shCoefficients && chunk.shDegree != SHDegree::sh0) {
            entry.shPage = placements_[2 * i + 1].page;
            entry.shBase = placements_[2 * i + 1].wordOffset;
        }
        entry.splatCount = std::uint32_t(chunk.splatCount());
        entry.shDegree = std::uint8_t(chunk.shDegree);
        entry.enabled = chunks[i].isEnabled ? 1 : 0;
    }
    table->write(0, std::int64_t(entries.size() * sizeof(ChunkTableEntry)), entries.data());
    const GLuint tableName = table->name();
    frame.chunkTable = std::move(table);

    const bool multiStage = configuration_.depthFormat != 0 && configuration_.highQualityDepth;
    if (multiStage)
        pipelines_.buildMultiStage();
    else
        pipelines_.buildSingleStage();

    GLuint sortedIndices = 0;
    try {
        sortedIndices = frame.indexBuffer->upload("Sorted Indices");
        if (triangleVertexIndexBuffer_.count() < geometry.indexCount) {
            triangleVertexIndexBuffer_.ensureCapacity(geometry.indexCount);
            std::uint32_t* indices = triangleVertexIndexBuffer_.values();
            for (std::uint32_t splat = 0; splat < geometry.indexedSplatCount; ++splat) {
                const std::uint32_t corner = 4 * splat;
                const std::uint32_t quad[6] = {corner, corner + 1, corner + 2, corner + 1, corner + 2, corner + 3};
                std::copy(std::begin(quad), std::end(quad), indices + 6 * splat);
            }
            triangleVertexIndexBuffer_.setCount(geometry.indexCount);
            triangleVertexIndexBuffer_.markDirty();
        }
        triangleVertexIndexBuffer_.upload("Triangle Indices");
    } catch (const GPUBufferBase::Error& error) {
        frameFailed(std::string("Frame skipped, no index buffer: ") + error.what());
        return false;
    }

    // Projected splats, in batches no longer than one storage block.
    const std::int64_t batchCapacity = std::max<std::int64_t>(device_.maxBufferLength() / 32, 1);
    const std::int64_t batchCount = (sortedCount + batchCapacity - 1) / batchCapacity;
    if (std::int64_t(projectedSplats_.size()) < batchCount) projectedSplats_.resize(std::size_t(batchCount));
    auto batchSize = [&](std::int64_t batch) { return std::min(batchCapacity, sortedCount - batch * batchCapacity); };
    try {
        for (std::int64_t batch = 0; batch < batchCount; ++batch) {
            auto& projected = projectedSplats_[std::size_t(batch)];
            if (projected.length() < batchSize(batch) * 32)
                projected = GLBufferObject(batchSize(batch) * 32, "Projected Splats");
        }
        if (!footprintBuffer_) footprintBuffer_ = GLBufferObject(16, "Frame Footprint");
    } catch (const GPUBufferBase::Error& error) {
        frameFailed(std::string("Frame skipped, no buffer for projected splats: ") + error.what());
        return false;
    }

    glBindBufferRange(GL_UNIFORM_BUFFER, 0, uniformBuffers_.name(), GLintptr(uniformBufferOffset_),
                      GLsizeiptr(uniformSlotStride));
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, chunkTableBinding, tableName);
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, sortedIndicesBinding, sortedIndices);
    for (int page = 0; page < pageCount_; ++page) {
        // Unused page bindings repeat page 0: every binding names a buffer.
        const GLuint name = pages_.pageName(page < pages_.pageCount() ? page : 0);
        glBindBufferBase(GL_SHADER_STORAGE_BUFFER, firstPageBinding + GLuint(page), name);
    }
    if (!pipelines_.projectionPipeline()) return false;

    // A frame whose splats would cover more pixels than the budget allows
    // is projected again at a lower resolution, chosen from what the last
    // projection covered (large splats cover the square of the scale), and
    // at the lowest with every splat's radius capped so that the bound
    // holds by construction. A frame starts where the last one ended, so
    // that a moving camera mostly needs one projection; one that had room
    // to spare tries a higher resolution first.
    const auto chunkCount = std::uint32_t(chunks.size());
    const float noRadiusCap = std::numeric_limits<float>::max();
    auto allowed = [&](const Footprint& footprint) {
        return fragmentBudget_ + fragmentsPerSplat * footprint.coveringSplats;
    };
    double scale = fragmentBudget_ > 0 ? std::clamp(lastResolutionScale_, minResolutionScale, 1.0) : 1.0;
    float radiusCap = fragmentBudget_ > 0 ? lastRadiusCap_ : noRadiusCap;
    auto targetAt = [&](double share) { return share < 1 ? atResolution(viewport, share) : viewport; };
    ViewportDescriptor target = targetAt(scale);
    Footprint footprint = project(target, pose, chunkCount, sortedCount, geometry.indexedSplatCount, batchCapacity,
                                  radiusCap);
    int projections = 1;
    constexpr int maxProjections = 4;
    auto cappedAllowance = [&](const Footprint& footprint) {
        return fragmentBudget_ / 4 + cappedFragmentsPerSplat * std::max<std::int64_t>(footprint.coveringSplats, 1);
    };
    while (fragmentBudget_ > 0 && projections < maxProjections) {
        const bool over = footprint.coveredPixels > allowed(footprint);
        // Room to spare: a capped frame under a quarter of what the cap
        // allows, a reduced one under a quarter of the bound.
        const bool roomToSpare =
            radiusCap != noRadiusCap ? footprint.coveredPixels * 4 < cappedAllowance(footprint)
                                     : scale < 1 && footprint.coveredPixels * 4 < allowed(footprint);
        if (!over && !(projections == 1 && roomToSpare)) break;
        if (!over) {
            // Room to spare: uncapped first, then a higher resolution.
            if (radiusCap != noRadiusCap)
                radiusCap = noRadiusCap;
            else
                scale = std::min(1.0, scale * std::sqrt(double(allowed(footprint)) / double(std::max<std::int64_t>(
                                                                                        footprint.coveredPixels, 1))) *
                                          0.95);
        } else {
            bool cap = !(scale > minResolutionScale && radiusCap == noRadiusCap && projections < maxProjections - 1);
            if (!cap) {
                const double share = double(allowed(footprint)) / double(footprint.coveredPixels);
                const double wanted = scale * std::sqrt(share) * 0.95;
                scale = std::max(minResolutionScale, wanted);
                // Far beyond even the lowest resolution: capped at once,
                // rather than after one more projection.
                cap = wanted < minResolutionScale / 2;
            }
            if (cap) {
                // A quad whose half-axes are at most r pixels is counted as
                // at most ⌈(2r' + 1)²⌉ pixels, r' = 1.002·r + 0.1 (see
                // ProjectSplats); so many splats at that size cover no more
                // than a quarter of the budget and cappedFragmentsPerSplat
                // each, well within the bound.
                const double perSplat = double(cappedAllowance(footprint)) /
                                        double(std::max<std::int64_t>(footprint.coveringSplats, 1));
                radiusCap =
                    std::min(radiusCap, float(std::max(((std::sqrt(perSplat - 1) - 1) / 2 - 0.1) / 1.002, 0.5)));
            }
        }
        target = targetAt(scale);
        footprint = project(target, pose, chunkCount, sortedCount, geometry.indexedSplatCount, batchCapacity,
                            radiusCap);
        ++projections;
    }
    lastResolutionScale_ = scale;
    lastRadiusCap_ = radiusCap;
    const bool reduced = target.screenSize != viewport.screenSize;
    lastFrame_.resolutionScale = reduced ? double(target.screenSize[0]) / std::max(viewport.screenSize[0], 1) : 1.0;
    lastFrame_.resolution = target.screenSize;
    lastFrame_.coveredPixels = footprint.coveredPixels;
    lastFrame_.coveringSplats = footprint.coveringSplats;
    lastFrame_.splatRadiusCap = radiusCap == noRadiusCap ? 0 : radiusCap;
    lastFrame_.projections = projections;
    // A reduced frame is gathered offscreen and stretched over the target
    // by the multi-stage set's composite, whichever set the target uses.
    const bool accumulate = multiStage || reduced;
    if (accumulate) pipelines_.buildMultiStage();

    beginPass(viewport, framebuffer);
    const GLuint vertexArray = pipelines_.vertexArray();
    glVertexArrayElementBuffer(vertexArray, triangleVertexIndexBuffer_.glName());
    glBindVertexArray(vertexArray);
    glEnable(GL_BLEND);
    glBlendEquation(GL_FUNC_ADD);
    glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);

    // Batch by batch, in sorted order; the draw program must be in use.
    auto drawSplats = [&] {
        for (std::int64_t batch = 0; batch < batchCount; ++batch) {
            const std::int64_t count = batchSize(batch);
            glUniform1ui(0, GLuint(count));
            glBindBufferBase(GL_SHADER_STORAGE_BUFFER, projectedSplatsBinding,
                             projectedSplats_[std::size_t(batch)].name());
            glDrawElementsInstanced(GL_TRIANGLES, GLsizei(geometry.indexCount), GL_UNSIGNED_INT, nullptr,
                                    GLsizei((count + geometry.indexedSplatCount - 1) / geometry.indexedSplatCount));
        }
    };
    if (accumulate) {
        if (!pipelines_.drawSplatPipeline() || !pipelines_.postprocessPipeline()) {
            endPass();
            return false;
        }
        const int width = std::max(int(target.viewport.width), 1);
        const int height = std::max(int(target.viewport.height), 1);
        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "Initialize");
        const GLuint accumulation = pipelines_.accumulationFramebuffer(width, height);
        const GLfloat transparent[] = {0, 0, 0, 0};
        glClearNamedFramebufferfv(accumulation, GL_COLOR, 0, transparent);
        glClearNamedFramebufferfv(accumulation, GL_COLOR, 1, transparent);
        glPopDebugGroup();

        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "Draw Splats");
        glBindFramebuffer(GL_FRAMEBUFFER, accumulation);
        glViewport(0, 0, width, height);
        glDisable(GL_DEPTH_TEST);
        glUseProgram(pipelines_.drawSplatPipeline().name());
        drawSplats();
        glPopDebugGroup();

        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "Postprocess");
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        const auto& area = viewport.viewport;
        const int targetWidth = std::max(int(area.width), 1);
        const int targetHeight = std::max(int(area.height), 1);
        glViewport(GLint(area.originX), GLint(area.originY), targetWidth, targetHeight);
        glEnable(GL_DEPTH_TEST);
        glDepthFunc(GL_ALWAYS);
        glDepthMask(GL_TRUE);
        glUseProgram(pipelines_.postprocessPipeline().name());
        glBindTextureUnit(0, pipelines_.accumulatedColor());
        glBindTextureUnit(1, pipelines_.accumulatedDepth());
        glUniform2i(0, GLint(area.originX), GLint(area.originY));
        if (reduced)
            glUniform2f(1, GLfloat(double(width) / targetWidth), GLfloat(double(height) / targetHeight));
        else
            glUniform2f(1, 1, 1);
        glUniform2f(2, GLfloat(width), GLfloat(height));
        glDrawArrays(GL_TRIANGLES, 0, 3);
        glPopDebugGroup();
    } else {
        if (!pipelines_.singleStagePipeline()) {
            endPass();
            return false;
        }
        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "Draw Splats");
        glEnable(GL_DEPTH_TEST);
        glDepthFunc(GL_ALWAYS);
        glDepthMask(configuration_.depthFormat != 0 ? GL_TRUE : GL_FALSE);
        glUseProgram(pipelines_.singleStagePipeline().name());
        drawSplats();
        glPopDebugGroup();
    }
    endPass();

    if (const GLenum error = glGetError(); error != GL_NO_ERROR) {
        std::ostringstream message;
        message << "OpenGL error 0x" << std::hex << error << " while drawing splats";
        logError(message.str());
    }
    return true;
}

SplatRenderer::Footprint SplatRenderer::project(const ViewportDescriptor& target, const SplatSorter::CameraPose& pose,
                                                std::uint32_t chunkCount, std::int64_t sortedCount,
                                                std::uint32_t indexedSplatCount, std::int64_t batchCapacity,
                                                float maxSplatRadius) {
    const Uniforms uniforms =
        makeUniforms(target, pose.position, chunkCount, std::uint32_t(sortedCount), indexedSplatCount);
    std::memcpy(uniformMirror_.data() + uniformBufferOffset_, &uniforms, sizeof uniforms);
    uniformBuffers_.write(uniformBufferOffset_, sizeof(UniformsArray), uniformMirror_.data() + uniformBufferOffset_);
    const std::uint32_t zeros[4] = {0, 0, 0, 0};
    footprintBuffer_.write(0, sizeof zeros, zeros);
    glBindBufferBase(GL_SHADER_STORAGE_BUFFER, footprintBinding, footprintBuffer_.name());

    const std::int64_t batchCount = (sortedCount + batchCapacity - 1) / batchCapacity;
    // The last frame's draws have read the projected splats before this
    // projection writes them, and the writes land before the draws.
    glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT);
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "Project Splats");
    glUseProgram(pipelines_.projectionPipeline().name());
    glUniform1f(2, maxSplatRadius);
    for (std::int64_t batch = 0; batch < batchCount; ++batch) {
        const std::int64_t size = std::min(batchCapacity, sortedCount - batch * batchCapacity);
        glUniform1ui(0, GLuint(batch * batchCapacity));
        glUniform1ui(1, GLuint(size));
        glBindBufferBase(GL_SHADER_STORAGE_BUFFER, projectedSplatsBinding, projectedSplats_[std::size_t(batch)].name());
        glDispatchCompute(GLuint((size + projectionGroupSize - 1) / projectionGroupSize), 1, 1);
    }
    glPopDebugGroup();
    glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT);
    if (fragmentBudget_ == 0) return {};
    // Waits for the projection: the frame's resolution depends on it.
    glMemoryBarrier(GL_BUFFER_UPDATE_BARRIER_BIT);
    std::uint32_t counts[4] = {};
    glGetNamedBufferSubData(footprintBuffer_.name(), 0, sizeof counts, counts);
    return {std::int64_t((std::uint64_t(counts[1]) << 32) | counts[0]), std::int64_t(counts[2])};
}

}  // namespace splatrenderer
