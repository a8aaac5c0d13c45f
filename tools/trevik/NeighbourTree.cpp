#include "trevik/NeighbourTree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/ThreadPool.hpp"

namespace tessaron::trevik {

// The `capacity` smallest squared distances seen so far, kept sorted in a
// fixed array: the counts asked for are tiny (three), and a search must not
// allocate.
class NeighbourTree::Best {
public:
    explicit Best(size_t capacity) : capacity_(capacity) {}

    double worst() const {
        return size_ < capacity_ ? std::numeric_limits<double>::infinity() : distances_[size_ - 1];
    }

    void offer(double squaredDistance) {
        if (squaredDistance >= worst()) return;
        size_t position = size_ < capacity_ ? size_++ : size_ - 1;
        while (position > 0 && distances_[position - 1] > squaredDistance) {
            distances_[position] = distances_[position - 1];
            --position;
        }
        distances_[position] = squaredDistance;
    }

    size_t size() const { return size_; }
    const double* begin() const { return distances_.data(); }
    const double* end() const { return distances_.data() + size_; }

private:
    size_t capacity_;
    size_t size_ = 0;
    std::array<double, maxNeighbours> distances_{};
};

namespace {

double squaredDistance(const Point3& a, const Point3& b) {
    double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return dx * dx + dy * dy + dz * dz;
}

}  // namespace

NeighbourTree::NeighbourTree(const std::vector<Point3>& points) {
    if (points.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("NeighbourTree holds at most 2^32 - 1 points");
    entries_.resize(points.size());
    for (size_t index = 0; index < points.size(); ++index) entries_[index] = {points[index], uint32_t(index)};
    splitAxis_.assign(points.size(), 0);
    build(0, points.size());
    slotOf_.resize(points.size());
    for (size_t slot = 0; slot < entries_.size(); ++slot) slotOf_[entries_[slot].index] = uint32_t(slot);
}

void NeighbourTree::build(size_t begin, size_t end) {
    // Recursion depth is log2(n / leafSize), about 17 for a million points.
    if (end - begin <= leafSize) return;
    Point3 low = entries_[begin].position, high = low;
    for (size_t slot = begin + 1; slot < end; ++slot) {
        const Point3& point = entries_[slot].position;
        for (size_t axis = 0; axis < 3; ++axis) {
            low[axis] = std::min(low[axis], point[axis]);
            high[axis] = std::max(high[axis], point[axis]);
        }
    }
    uint8_t axis = 0;
    for (uint8_t candidate = 1; candidate < 3; ++candidate)
        if (high[candidate] - low[candidate] > high[axis] - low[axis]) axis = candidate;

    size_t middle = begin + (end - begin) / 2;
    std::nth_element(entries_.begin() + std::ptrdiff_t(begin), entries_.begin() + std::ptrdiff_t(middle),
                     entries_.begin() + std::ptrdiff_t(end),
                     [axis](const Entry& a, const Entry& b) { return a.position[axis] < b.position[axis]; });
    splitAxis_[middle] = axis;
    build(begin, middle);
    build(middle + 1, end);
}

void NeighbourTree::search(size_t self, size_t begin, size_t end, Best& best) const {
    const Point3& query = entries_[self].position;
    if (end - begin <= leafSize) {
        for (size_t slot = begin; slot < end; ++slot)
            if (slot != self) best.offer(squaredDistance(query, entries_[slot].position));
        return;
    }
    size_t middle = begin + (end - begin) / 2;
    const Point3& median = entries_[middle].position;
    if (middle != self) best.offer(squaredDistance(query, median));

    double offset = query[splitAxis_[middle]] - median[splitAxis_[middle]];
    bool nearIsLow = offset < 0;
    if (nearIsLow) search(self, begin, middle, best);
    else search(self, middle + 1, end, best);
    // Points equal to the median on the split axis may sit on either side.
    if (offset * offset <= best.worst()) {
        if (nearIsLow) search(self, middle + 1, end, best);
        else search(self, begin, middle, best);
    }
}

void NeighbourTree::checkCount(size_t count) {
    if (count > maxNeighbours)
        throw std::invalid_argument("NeighbourTree finds at most " + std::to_string(maxNeighbours) + " neighbours");
}

NeighbourTree::Best NeighbourTree::nearest(size_t slot, size_t count) const {
    Best best(count);
    if (count > 0) search(slot, 0, entries_.size(), best);
    return best;
}

std::vector<double> NeighbourTree::nearestSquaredDistances(size_t index, size_t count) const {
    checkCount(count);
    Best best = nearest(slotOf_.at(index), count);
    return std::vector<double>(best.begin(), best.end());
}

std::vector<double> NeighbourTree::meanNeighbourDistances(size_t count, unsigned threads) const {
    checkCount(count);
    std::vector<double> means(entries_.size(), std::numeric_limits<double>::quiet_NaN());
    core::ThreadPool pool(threads);
    const size_t chunk = std::max<size_t>(1, (entries_.size() + pool.size() - 1) / pool.size());
    // Slots in tree order: consecutive queries touch the same part of the tree.
    pool.parallelFor(entries_.size(), chunk, [&](size_t first, size_t last, unsigned) {
        for (size_t slot = first; slot < last; ++slot) {
            Best best = nearest(slot, count);
            if (best.size() == 0) continue;
            double sum = 0;
            for (double squared : best) sum += std::sqrt(squared);
            means[entries_[slot].index] = sum / double(best.size());
        }
    });
    return means;
}

}  // namespace tessaron::trevik
