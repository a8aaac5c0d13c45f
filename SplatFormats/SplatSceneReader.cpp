#include "SplatFormats/SplatSceneReader.hpp"

#include <utility>

namespace splatformats {

SplatBatchSequence::SplatBatchSequence(Producer producer, std::size_t expectedPointCount)
    : producer_(std::move(producer)), expectedPointCount_(expectedPointCount) {}

std::optional<SplatBatch> SplatBatchSequence::next() {
    if (ended_) return std::nullopt;
    std::optional<SplatBatch> batch;
    try {
        batch = producer_();
    } catch (...) {
        ended_ = true;
        producer_ = nullptr;
        throw;
    }
    if (!batch) {
        ended_ = true;
        producer_ = nullptr;
    }
    return batch;
}

std::vector<SplatPoint> SplatSceneReader::readAll() {
    SplatBatchSequence sequence = read();
    std::vector<SplatPoint> points;
    // One reservation: growing a scene of a million points by doubling would
    // hold two copies at once.
    points.reserve(sequence.expectedPointCount());
    while (auto batch = sequence.next()) points.insert(points.end(), batch->begin(), batch->end());
    return points;
}

}  // namespace splatformats
