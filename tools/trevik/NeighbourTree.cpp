#include "trevik/NeighbourTree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

namespace tessaron::trevik {

// The `capacity` smallest squared distances seen so far, kept sorted; the
// counts asked for are tiny (three), so insertion into a small array wins.
class NeighbourTree::Best {
public:
    explicit Best(size_t capacity) : capacity_(capacity) { distances_.reserve(capacity); }

    double worst() const {
        return distances_.size() < capacity_ ? std::numeric_limits<double>::infinity() : distances_.back();
    }

    void offer(double squaredDistance) {
        if (capacity_ == 0 || squaredDistance >= worst()) return;
        if (distances_.size() == capacity_) distances_.pop_back();
        distances_.insert(std::upper_bound(distances_.begin(), distances_.end(), squaredDistance), squaredDistance);
    }

    std::vector<double> take() { return std::move(distances_); }

private:
    size_t capacity_;
    std::vector<double> distances_;
};

namespace {

double squaredDistance(const Point3& a, const Point3& b) {
    double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return dx * dx + dy * dy + dz * dz;
}

}  // namespace

NeighbourTree::NeighbourTree(const std::vector<Point3>& points) : points_(points) {
    if (points.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("NeighbourTree holds at most 2^32 - 1 points");
    order_.resize(points.size());
    for (size_t index = 0; index < points.size(); ++index) order_[index] = uint32_t(index);
    splitAxis_.assign(points.size(), 0);
    build(0, points.size());
}

void NeighbourTree::build(size_t begin, size_t end) {
    // Iterative on the larger half would save stack, but the depth is only
    // log2(n / leafSize), about 17 for a million points.
    if (end - begin <= leafSize) return;
    Point3 low = points_[order_[begin]], high = low;
    for (size_t slot = begin + 1; slot < end; ++slot) {
        const Point3& point = points_[order_[slot]];
        for (int axis = 0; axis < 3; ++axis) {
            low[size_t(axis)] = std::min(low[size_t(axis)], point[size_t(axis)]);
            high[size_t(axis)] = std::max(high[size_t(axis)], point[size_t(axis)]);
        }
    }
    uint8_t axis = 0;
    for (uint8_t candidate = 1; candidate < 3; ++candidate)
        if (high[candidate] - low[candidate] > high[axis] - low[axis]) axis = candidate;

    size_t middle = begin + (end - begin) / 2;
    std::nth_element(order_.begin() + std::ptrdiff_t(begin), order_.begin() + std::ptrdiff_t(middle),
                     order_.begin() + std::ptrdiff_t(end),
                     [&](uint32_t a, uint32_t b) { return points_[a][axis] < points_[b][axis]; });
    splitAxis_[middle] = axis;
    build(begin, middle);
    build(middle + 1, end);
}

void NeighbourTree::search(const Point3& query, size_t self, size_t begin, size_t end, Best& best) const {
    if (end - begin <= leafSize) {
        for (size_t slot = begin; slot < end; ++slot)
            if (order_[slot] != self) best.offer(squaredDistance(query, points_[order_[slot]]));
        return;
    }
    size_t middle = begin + (end - begin) / 2;
    const Point3& median = points_[order_[middle]];
    if (order_[middle] != self) best.offer(squaredDistance(query, median));

    double offset = query[splitAxis_[middle]] - median[splitAxis_[middle]];
    bool nearIsLow = offset < 0;
    if (nearIsLow) search(query, self, begin, middle, best);
    else search(query, self, middle + 1, end, best);
    // Points equal to the median on the split axis may sit on either side.
    if (offset * offset <= best.worst()) {
        if (nearIsLow) search(query, self, middle + 1, end, best);
        else search(query, self, begin, middle, best);
    }
}

std::vector<double> NeighbourTree::nearestSquaredDistances(size_t index, size_t count) const {
    Best best(count);
    search(points_.at(index), index, 0, order_.size(), best);
    return best.take();
}

std::vector<double> NeighbourTree::meanNeighbourDistances(size_t count, unsigned threads) const {
    std::vector<double> means(points_.size(), std::numeric_limits<double>::quiet_NaN());
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    size_t chunk = std::max<size_t>(1, (points_.size() + threads - 1) / threads);
    {
        std::vector<std::jthread> workers;
        for (size_t first = 0; first < points_.size(); first += chunk) {
            size_t last = std::min(points_.size(), first + chunk);
            workers.emplace_back([this, &means, count, first, last] {
                for (size_t index = first; index < last; ++index) {
                    std::vector<double> squared = nearestSquaredDistances(index, count);
                    if (squared.empty()) continue;
                    double sum = 0;
                    for (double value : squared) sum += std::sqrt(value);
                    means[index] = sum / double(squared.size());
                }
            });
        }
    }
    return means;
}

}  // namespace tessaron::trevik
