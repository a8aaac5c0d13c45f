#include "SplatFormats/SplatSceneReader.hpp"

#include <utility>

#include "core/HugePages.hpp"

namespace splatformats {

SplatBatchSequence::SplatBatchSequence(Producer producer, std::size_t expectedPointCount)
    : producer_(std::move(producer)), expectedPointCount_(expectedPointCount) {}

std::optional<SplatBatch> SplatBatchSequence::next() {
    SplatBatch batch;
    if (!appendNext(batch)) return std::nullopt;
    return batch;
}

bool SplatBatchSequence::appendNext(SplatBatch& destination) {
    if (ended_) return false;
    bool produced = false;
    try {
        produced = producer_(destination);
    } catch (...) {
        // Ends the sequence, then reports the error to the consumer.
        ended_ = true;
        producer_ = nullptr;
        throw;
    }
    if (!produced) {
        ended_ = true;
        producer_ = nullptr;
    }
    return produced;
}

void SplatBatchSequence::reserveRoomIn(SplatBatch& destination) const {
    // One reservation: growing a scene of a million points by doubling would
    // hold two copies at once.
    destination.reserve(destination.size() + expectedPointCount_);
    // A scene's block is hundreds of megabytes: faulting it in 4 KiB pages
    // would cost more than decoding into it.
    tessaron::core::adviseHugePages(destination.data(), destination.capacity() * sizeof(SplatPoint));
}

std::vector<SplatPoint> SplatSceneReader::readAll() {
    SplatBatchSequence sequence = read();
    std::vector<SplatPoint> points;
    sequence.reserveRoomIn(points);
    while (sequence.appendNext(points)) {
    }
    return points;
}

}  // namespace splatformats
