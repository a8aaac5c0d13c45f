#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "SplatFormats/SplatPoint.hpp"

namespace splatformats {

using SplatBatch = std::vector<SplatPoint>;

// The points of one read, batch by batch, in file order. Batches are decoded
// when they are asked for, on the caller's thread, so a slow consumer costs
// no memory and nothing runs after the consumer lets go. The sequence ends
// normally (nullopt) or with the first error, which next() throws; after
// either, next() returns nullopt.
class SplatBatchSequence {
public:
    // Appends the next batch to `destination` and returns true, or returns
    // false at the normal end; throws to end the sequence with an error.
    // Appending in place spares gathering a scene one more copy.
    using Producer = std::function<bool(SplatBatch& destination)>;

    // `expectedPointCount`: how many points the file announces, bounded by
    // what its size can hold, so that gathering them can reserve once.
    explicit SplatBatchSequence(Producer producer, std::size_t expectedPointCount = 0);

    std::optional<SplatBatch> next();
    // The same batch appended to `destination`; false at the end.
    bool appendNext(SplatBatch& destination);
    std::size_t expectedPointCount() const noexcept { return expectedPointCount_; }
    // Makes room in `destination` for the expected points besides those it
    // holds, in one block backed by huge pages: gathering a whole scene then
    // copies nothing, and readers with room for every point left decode them
    // all at once.
    void reserveRoomIn(SplatBatch& destination) const;

private:
    Producer producer_;
    std::size_t expectedPointCount_;
    bool ended_ = false;
};

// Reads one splat file of some format. Errors found before the sequence is
// handed out (the source cannot be opened, the header is invalid) are
// thrown by read(); later ones end the sequence.
class SplatSceneReader {
public:
    virtual ~SplatSceneReader() = default;

    // Each call reads the source again, independently of earlier calls.
    virtual SplatBatchSequence read() = 0;

    // Every point of the file; a failure discards what was read and is
    // rethrown unchanged.
    std::vector<SplatPoint> readAll();
};

}  // namespace splatformats
