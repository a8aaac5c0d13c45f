#include "partition/MemoryModel.hpp"

namespace tessaron::partition {

namespace {
constexpr double kBytesPerGB = 1073741824.0;
}

MemoryModel::MemoryModel(int64_t width, int64_t height) noexcept
    : pixels_(width * height) {
    int64_t tiles = ((width + 15) / 16) * ((height + 15) / 16);
    bytesPerGaussian_ = tiles < 400 ? 3275 : 1971;
}

double MemoryModel::memGB(int64_t images, int64_t gaussians) const noexcept {
    double pixels = double(pixels_);
    return double(images) * pixels * 3.0 / kBytesPerGB +
           (pixels * 165.0 + double(bytesPerGaussian_) * double(gaussians) + 2.8e8) * 1.08 / kBytesPerGB;
}

}  // namespace tessaron::partition

#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition {

int64_t detail::estimateMemoryAndCap(int64_t images, int64_t width, int64_t height, int64_t lo, int64_t hi,
                                     double budgetGB) {
    MemoryModel model(width, height);
    double limit = 0.99 * budgetGB;
    if (model.memGB(images, lo) > limit) return lo;
    if (model.memGB(images, hi) <= limit) return hi;
    if (hi - lo < 5001) return lo;
    while (hi - lo > 5000) {
        int64_t mid = lo + (hi - lo) / 2;
        if (model.memGB(images, mid) <= limit)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

}  // namespace tessaron::partition
