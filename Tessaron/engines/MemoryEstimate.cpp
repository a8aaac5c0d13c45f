#include "engines/MemoryEstimate.hpp"

#include "core/NumberText.hpp"

namespace tessaron::engines {

namespace {
constexpr double bytesPerGB = 1073741824.0;
}

int64_t MemoryEstimate::tileCount(int64_t width, int64_t height) {
    return ((width + tileSize - 1) / tileSize) * ((height + tileSize - 1) / tileSize);
}

int64_t MemoryEstimate::bytesPerGaussian(int64_t width, int64_t height) {
    return tileCount(width, height) >= manyTiles ? bytesPerGaussianManyTiles : bytesPerGaussianFewTiles;
}

double MemoryEstimate::gigabytes(int64_t width, int64_t height, int64_t imageCount, int64_t gaussianCap) {
    // Products in double: the integer sizes are exact, and a double cannot
    // overflow for image sizes and counts that occur.
    double pixels = double(width) * double(height);
    double imagesGB = pixels * double(imageCount) * 3.0 / bytesPerGB;
    double modelGB = (pixels * 165.0 + double(bytesPerGaussian(width, height)) * double(gaussianCap) + 280000000.0) *
                     1.08 / bytesPerGB;
    return imagesGB + modelGB;
}

std::string MemoryEstimate::fitMessage(double needGB, double budgetGB) {
    return "This model size needs about " + core::fixedText(needGB, 1) + " GB of memory, more than the " +
           core::fixedText(budgetGB, 1) +
           " GB this computer can give it. Turn on partitioning (Advanced) or choose a smaller model size.";
}

}  // namespace tessaron::engines
