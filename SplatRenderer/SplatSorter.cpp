#include "SplatRenderer/SplatSorter.hpp"

#include <chrono>

namespace splatrenderer {

SplatSorter::SplatSorter(const GPUDevice& device) : device_(device) {
    for (auto& indexBuffer : state_.indexBuffers) indexBuffer.buffer = std::make_shared<IndexBufferStorage>(device, 1);
}

SplatSorter::~SplatSorter() {
    std::jthread loop;
    {
        std::lock_guard lock(mutex_);
        loop = std::move(loopThread_);
    }
    loop.request_stop();
    wakeCondition_.notify_all();
}  // `loop` joins here, before the members the pass uses are destroyed

void SplatSorter::wake() {
    {
        std::lock_guard lock(mutex_);
        wakeRequested_ = true;
    }
    wakeCondition_.notify_all();
}

std::optional<int> SplatSorter::writableNewestBuffer() const {
    const auto newest = state_.mostRecentValidBufferIndex;
    if (!newest || newest == state_.sortingBufferIndex) return std::nullopt;
    // The renderer changes chunks only while no frame is in flight; a held
    // buffer is still never written, whoever calls.
    if (state_.indexBuffers[std::size_t(*newest)].referenceCount > 0) return std::nullopt;
    return newest;
}

void SplatSorter::publishUnsortedOrder() {
    const std::int64_t total = DepthOrder::totalSplatCount(state_.chunks);
    if (total == 0) return;
    for (int index = 0; index < 3; ++index) {
        auto& candidate = state_.indexBuffers[std::size_t(index)];
        if (candidate.referenceCount != 0 || state_.sortingBufferIndex == index) continue;
        candidate.buffer->ensureCapacity(total);
        ChunkedSplatIndex* entries = candidate.buffer->values();
        std::int64_t position = 0;
        for (const auto& chunk : state_.chunks)
            for (std::int64_t splat = 0; splat < chunk.buffer->count(); ++splat)
                entries[position++] = ChunkedSplatIndex(chunk.chunkIndex, std::uint32_t(splat));
        candidate.buffer->setCount(total);
        candidate.buffer->markDirty();
        candidate.isValid = true;
        candidate.sortedFrom.reset();
        state_.mostRecentValidBufferIndex = index;
        return;
    }
}

void SplatSorter::addChunk(std::uint16_t chunkIndex, std::shared_ptr<const GPUBuffer<EncodedSplatPoint>> buffer) {
    {
        std::lock_guard lock(mutex_);
        const std::int64_t added = buffer->count();
        state_.chunks.push_back(ChunkReference{chunkIndex, std::move(buffer)});
        ++state_.chunkGeneration;
        state_.needsSort = true;
        if (auto newest = writableNewestBuffer()) {
            // Drawable at once: the new splats go unsorted to the end.
            auto& storage = *state_.indexBuffers[std::size_t(*newest)].buffer;
            storage.ensureCapacity(storage.count() + added);
            for (std::int64_t splat = 0; splat < added; ++splat)
                storage.append(ChunkedSplatIndex(chunkIndex, std::uint32_t(splat)));
            storage.markDirty();
            state_.indexBuffers[std::size_t(*newest)].sortedFrom.reset();
        } else {
            publishUnsortedOrder();
        }
    }
    startSortLoopIfNeeded();
}

void SplatSorter::removeChunk(std::uint16_t chunkIndex, const std::map<std::uint16_t, std::uint16_t>& indexMap) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(state_.chunks, [&](const ChunkReference& chunk) { return chunk.chunkIndex == chunkIndex; });
        for (auto& chunk : state_.chunks)
            if (auto mapped = indexMap.find(chunk.chunkIndex); mapped != indexMap.end()) chunk.chunkIndex = mapped->second;
        ++state_.chunkGeneration;
        state_.needsSort = !state_.chunks.empty();
        if (auto newest = writableNewestBuffer()) {
            auto& newestBuffer = state_.indexBuffers[std::size_t(*newest)];
            ChunkedSplatIndex* entries = newestBuffer.buffer->values();
            std::int64_t kept = 0;
            for (std::int64_t i = 0; i < newestBuffer.buffer->count(); ++i) {
                const ChunkedSplatIndex entry = entries[i];
                if (entry.chunkIndex == chunkIndex) continue;
                auto mapped = indexMap.find(entry.chunkIndex);
                if (mapped == indexMap.end()) continue;
                entries[kept++] = ChunkedSplatIndex(mapped->second, entry.splatIndex);
            }
            newestBuffer.buffer->setCount(kept);
            newestBuffer.buffer->markDirty();
            if (kept == 0) {
                newestBuffer.isValid = false;
                state_.mostRecentValidBufferIndex.reset();
            }
        } else {
            publishUnsortedOrder();
        }
    }
    startSortLoopIfNeeded();
}

void SplatSorter::removeAllChunks() {
    {
        std::lock_guard lock(mutex_);
        state_.chunks.clear();
        // A pass still running sees the new generation and is dropped.
        ++state_.chunkGeneration;
        state_.needsSort = false;
        for (auto& indexBuffer : state_.indexBuffers) {
            indexBuffer.isValid = false;
            indexBuffer.sortedFrom.reset();
        }
        state_.mostRecentValidBufferIndex.reset();
    }
    startSortLoopIfNeeded();
}

void SplatSorter::setCameraPose(const CameraPose& pose) {
    {
        std::lock_guard lock(mutex_);
        state_.cameraPose = pose;
        state_.needsSort = true;
        wakeRequested_ = true;
    }
    wakeCondition_.notify_all();
    startSortLoopIfNeeded();
}

void SplatSorter::afterNextSort(std::function<void()> handler) {
    {
        std::lock_guard lock(mutex_);
        state_.pendingSortCompletionHandlers.push_back(std::move(handler));
    }
    startSortLoopIfNeeded();
}

void SplatSorter::setOnSortStart(std::function<void()> callback) {
    std::lock_guard lock(mutex_);
    onSortStart_ = std::move(callback);
}

void SplatSorter::setOnSortComplete(std::function<void(double)> callback) {
    std::lock_guard lock(mutex_);
    onSortComplete_ = std::move(callback);
}

void SplatSorter::startSortLoopIfNeeded() {
    std::lock_guard lock(mutex_);
    if (state_.sortLoopRunning) return;
    state_.sortLoopRunning = true;
    // A previous loop has ended (it cleared sortLoopRunning as its last
    // step under this lock), so joining it here returns at once.
    if (loopThread_.joinable()) loopThread_.join();
    loopThread_ = std::jthread([this](std::stop_token stop) { sortLoop(stop); });
}

void SplatSorter::sortLoop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (true) {
        if (stop.stop_requested()) {
            state_.sortLoopRunning = false;
            return;
        }
        std::optional<int> target;
        if (!state_.hasExclusiveAccess && state_.needsSort && !state_.chunks.empty()) {
            for (int index = 0; index < 3; ++index)
                if (state_.indexBuffers[std::size_t(index)].referenceCount == 0 &&
                    state_.mostRecentValidBufferIndex != index) {
                    target = index;
                    break;
                }
        }
        if (target) {
            state_.sortingBufferIndex = target;
            state_.isReadingChunks = true;
            state_.needsSort = false;
            const std::vector<ChunkReference> chunks = state_.chunks;
            const std::uint64_t generation = state_.chunkGeneration;
            const std::array<float, 3> camera = state_.cameraPose.position;
            lock.unlock();
            runPass(chunks, *target, generation, camera);
            lock.lock();
            continue;
        }
        // Without chunks there is nothing to sort, even when a frame asked:
        // the next chunk starts a new loop.
        if (state_.chunks.empty()) {
            state_.sortLoopRunning = false;
            return;
        }
        // Nothing to do yet: look again in a millisecond, or sooner when a
        // frame wants a sort or gives a buffer back.
        wakeCondition_.wait_for(lock, stop, std::chrono::milliseconds(1), [this] { return wakeRequested_; });
        wakeRequested_ = false;
    }
}

void SplatSorter::runPass(const std::vector<ChunkReference>& chunks, int target, std::uint64_t generation,
                          const std::array<float, 3>& camera) {
    const auto start = std::chrono::steady_clock::now();
    std::function<void()> onStart;
    std::shared_ptr<IndexBufferStorage> targetBuffer;
    {
        std::lock_guard lock(mutex_);
        onStart = onSortStart_;
        targetBuffer = state_.indexBuffers[std::size_t(target)].buffer;
    }
    if (onStart) onStart();

    const std::int64_t count = DepthOrder::totalSplatCount(chunks);
    if (!workers_ && count >= 65536) workers_ = std::make_unique<ParallelWorkers>(ParallelWorkers::defaultMemberCount());
    depthOrder_.fill(chunks, camera, workers_.get());
    {
        std::lock_guard lock(mutex_);
        state_.isReadingChunks = false;
    }
    try {
        targetBuffer->ensureCapacity(count);
    } catch (const GPUBufferBase::Error&) {
        // The order does not fit: this pass ends unpublished, and the next
        // one starts when a sort is wanted again.
        std::lock_guard lock(mutex_);
        state_.sortingBufferIndex.reset();
        return;
    }
    depthOrder_.sortInto(*targetBuffer, workers_.get());

    std::function<void(double)> onComplete;
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard lock(mutex_);
        state_.sortingBufferIndex.reset();
        if (state_.pendingInvalidation || state_.chunkGeneration != generation) return;
        state_.indexBuffers[std::size_t(target)].isValid = true;
        state_.indexBuffers[std::size_t(target)].sortedFrom = camera;
        state_.mostRecentValidBufferIndex = target;
        handlers.swap(state_.pendingSortCompletionHandlers);
        onComplete = onSortComplete_;
    }
    if (onComplete) onComplete(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    for (auto& handler : handlers) handler();
}

std::shared_ptr<SplatSorter::IndexBufferStorage> SplatSorter::acquireMostRecentValidIndexBuffer() {
    return acquireNewestOrder().buffer;
}

SplatSorter::AcquiredOrder SplatSorter::acquireNewestOrder() {
    std::lock_guard lock(mutex_);
    const auto newest = state_.mostRecentValidBufferIndex;
    if (state_.hasExclusiveAccess || !newest || newest == state_.sortingBufferIndex) return {};
    auto& indexBuffer = state_.indexBuffers[std::size_t(*newest)];
    if (!indexBuffer.isValid) return {};
    ++indexBuffer.referenceCount;
    return {indexBuffer.buffer, indexBuffer.sortedFrom};
}

void SplatSorter::releaseIndexBuffer(const std::shared_ptr<IndexBufferStorage>& buffer) {
    {
        std::lock_guard lock(mutex_);
        for (auto& indexBuffer : state_.indexBuffers)
            if (indexBuffer.buffer == buffer) {
                --indexBuffer.referenceCount;
                break;
            }
    }
    wake();
}

SplatSorter::StateSnapshot SplatSorter::snapshot() const {
    std::lock_guard lock(mutex_);
    StateSnapshot copy;
    for (std::size_t index = 0; index < 3; ++index) {
        copy.referenceCounts[index] = state_.indexBuffers[index].referenceCount;
        copy.isValid[index] = state_.indexBuffers[index].isValid;
        copy.counts[index] = state_.sortingBufferIndex == int(index) ? -1 : state_.indexBuffers[index].buffer->count();
    }
    copy.sortingBufferIndex = state_.sortingBufferIndex;
    copy.mostRecentValidBufferIndex = state_.mostRecentValidBufferIndex;
    copy.needsSort = state_.needsSort;
    copy.chunkCount = state_.chunks.size();
    copy.chunkGeneration = state_.chunkGeneration;
    copy.sortLoopRunning = state_.sortLoopRunning;
    copy.pendingHandlerCount = state_.pendingSortCompletionHandlers.size();
    copy.cameraPose = state_.cameraPose;
    return copy;
}

std::vector<ChunkedSplatIndex> SplatSorter::indexBufferContents(int index) const {
    std::lock_guard lock(mutex_);
    if (state_.sortingBufferIndex == index) return {};
    const auto elements = state_.indexBuffers[std::size_t(index)].buffer->elements();
    return {elements.begin(), elements.end()};
}

}  // namespace splatrenderer
