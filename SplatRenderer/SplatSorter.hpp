#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "SplatRenderer/DepthOrder.hpp"

namespace splatrenderer {

// Keeps every splat of the renderer's chunks sorted farthest-first from the
// camera, on a background thread, into one of three index buffers. Frames
// draw from the newest finished order while the next sort runs into
// another buffer, and never wait for a sort.
//
// Threads: `mutex_` guards state_, the closures and loopThread_. The sort
// thread alone writes depthOrder_ and the pass target's contents, without
// the lock; a frame cannot acquire the target, and a pass never picks a
// buffer that a frame holds or the newest one. No closure is called with
// the lock held. The sort thread is owned here and joined on destruction.
class SplatSorter {
public:
    using IndexBufferStorage = GPUBuffer<ChunkedSplatIndex>;

    struct CameraPose {
        std::array<float, 3> position{0, 0, 0};
        std::array<float, 3> forward{0, 0, -1};
        bool operator==(const CameraPose&) const = default;
    };

    struct IndexBuffer {
        std::shared_ptr<IndexBufferStorage> buffer;
        int referenceCount = 0;  // frames using it
        bool isValid = false;    // holds a complete, drawable order
        // The camera position its order was sorted from; none for an order
        // that is not (wholly) sorted.
        std::optional<std::array<float, 3>> sortedFrom;
    };

    // A frame's order: the buffer, held until released, and where it was
    // sorted from.
    struct AcquiredOrder {
        std::shared_ptr<IndexBufferStorage> buffer;
        std::optional<std::array<float, 3>> sortedFrom;
    };

    struct State {
        std::array<IndexBuffer, 3> indexBuffers;
        std::optional<int> sortingBufferIndex;
        std::optional<int> mostRecentValidBufferIndex;
        // Nothing sets these two; the checks honour them all the same.
        bool hasExclusiveAccess = false;
        bool pendingInvalidation = false;
        CameraPose cameraPose;
        bool needsSort = false;
        std::vector<ChunkReference> chunks;
        std::uint64_t chunkGeneration = 0;
        bool isReadingChunks = false;
        bool sortLoopRunning = false;
        std::vector<std::function<void()>> pendingSortCompletionHandlers;
    };

    // What tests and diagnostics may look at, copied under the lock.
    struct StateSnapshot {
        std::array<int, 3> referenceCounts{};
        std::array<bool, 3> isValid{};
        std::array<std::int64_t, 3> counts{};
        std::optional<int> sortingBufferIndex;
        std::optional<int> mostRecentValidBufferIndex;
        bool needsSort = false;
        std::size_t chunkCount = 0;
        std::uint64_t chunkGeneration = 0;
        bool sortLoopRunning = false;
        std::size_t pendingHandlerCount = 0;
        CameraPose cameraPose;
    };

    // Three index buffers of capacity 1; throws GPUBuffer::Error.
    explicit SplatSorter(const GPUDevice& device);
    ~SplatSorter();
    SplatSorter(const SplatSorter&) = delete;
    SplatSorter& operator=(const SplatSorter&) = delete;

    // Adds a chunk and makes it drawable at once (appended unsorted to the
    // newest order, or a new unsorted order). Throws GPUBuffer::Error when
    // an index buffer cannot grow; the chunk list has changed all the same.
    void addChunk(std::uint16_t chunkIndex, std::shared_ptr<const GPUBuffer<EncodedSplatPoint>> buffer);
    // Removes a chunk and renumbers the others through `indexMap` (old
    // index to new); entries of chunks without a mapping are dropped.
    void removeChunk(std::uint16_t chunkIndex, const std::map<std::uint16_t, std::uint16_t>& indexMap);
    // Forgets every chunk and every published order, so that nothing that
    // names a removed chunk can be drawn or published later.
    void removeAllChunks();

    // A frame's pose: stored, and a sort is wanted whether it moved or not.
    void setCameraPose(const CameraPose& pose);
    // Runs `handler` on the sort thread after the next published pass.
    void afterNextSort(std::function<void()> handler);

    void startSortLoopIfNeeded();

    // The newest valid order, held until released; none when there is no
    // order yet or the newest is being sorted into.
    std::shared_ptr<IndexBufferStorage> acquireMostRecentValidIndexBuffer();
    // The same, with the position its order was sorted from.
    AcquiredOrder acquireNewestOrder();
    // A buffer that is not one of the three changes nothing.
    void releaseIndexBuffer(const std::shared_ptr<IndexBufferStorage>& buffer);

    // Called on the sort thread at the start of every pass, and with the
    // pass's duration in seconds after every published pass.
    void setOnSortStart(std::function<void()> callback);
    void setOnSortComplete(std::function<void(double seconds)> callback);

    StateSnapshot snapshot() const;
    // The entries of one buffer; empty while it is a pass target.
    std::vector<ChunkedSplatIndex> indexBufferContents(int index) const;

private:
    void sortLoop(std::stop_token stop);
    void runPass(const std::vector<ChunkReference>& chunks, int target, std::uint64_t generation,
                 const std::array<float, 3>& camera);
    // Under the lock: a new unsorted order of every chunk in the first free
    // buffer that no pass writes.
    void publishUnsortedOrder();
    // Under the lock: the newest order, when a change may write it in place.
    std::optional<int> writableNewestBuffer() const;
    void wake();

    GPUDevice device_;
    mutable std::mutex mutex_;
    std::condition_variable_any wakeCondition_;
    bool wakeRequested_ = false;
    State state_;
    std::function<void()> onSortStart_;
    std::function<void(double)> onSortComplete_;
    std::jthread loopThread_;

    // Sort thread only.
    DepthOrder depthOrder_;
    std::unique_ptr<ParallelWorkers> workers_;
};

}  // namespace splatrenderer
