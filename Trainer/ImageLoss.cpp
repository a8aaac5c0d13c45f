#include "Trainer/ImageLoss.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "Trainer/Lanes.hpp"

namespace tessaron::trainer {

namespace {

constexpr int radius = 5;
constexpr float c1 = 0.01f * 0.01f;
constexpr float c2 = 0.03f * 0.03f;

std::array<float, 2 * radius + 1> gaussianWindow() {
    std::array<float, 2 * radius + 1> w{};
    float sum = 0;
    for (int i = -radius; i <= radius; ++i) sum += w[i + radius] = std::exp(-float(i * i) / (2 * 1.5f * 1.5f));
    for (float& value : w) value /= sum;
    return w;
}

const std::array<float, 2 * radius + 1> window = gaussianWindow();

}  // namespace

namespace {

// Eight floats, loaded and stored at any alignment; the blurs below keep
// their sums in such registers over all taps.
using lanes::Floats;
constexpr int laneCount = lanes::width;

inline __attribute__((always_inline)) Floats load(const float* from) {
    Floats value;
    std::memcpy(&value, from, sizeof value);
    return value;
}

inline __attribute__((always_inline)) void store(float* to, Floats value) { std::memcpy(to, &value, sizeof value); }

// One row blurred along x. The window is cut at the row's ends; every output
// sums its taps in the same order, eight outputs at a time inside.
__attribute__((target_clones("arch=x86-64-v3", "default"))) void blurRow(const float* in, float* out, int width) {
    auto cut = [&](int x) {
        float sum = 0;
        const int k0 = std::max(-radius, -x), k1 = std::min(radius, width - 1 - x);
        for (int k = k0; k <= k1; ++k) sum += window[k + radius] * in[x + k];
        out[x] = sum;
    };
    const int inner0 = std::min(radius, width), inner1 = std::max(inner0, width - radius);
    for (int x = 0; x < inner0; ++x) cut(x);
    for (int x = inner1; x < width; ++x) cut(x);
    int x = inner0;
    for (; x + laneCount <= inner1; x += laneCount) {
        Floats sum{};
        for (int k = -radius; k <= radius; ++k) sum += window[k + radius] * load(in + x + k);
        store(out + x, sum);
    }
    for (; x < inner1; ++x) cut(x);
}

// Row y of a plane that is already blurred along x, blurred along y: the
// taps run over whole rows, 32 columns' sums at a time in registers.
__attribute__((target_clones("arch=x86-64-v3", "default"))) void blurColumn(const float* plane, float* out, int width,
                                                                          int height, int y) {
    const int k0 = std::max(-radius, -y), k1 = std::min(radius, height - 1 - y);
    const float* centre = plane + size_t(y) * size_t(width);
    const ptrdiff_t stride = width;
    int x = 0;
    for (; x + 4 * laneCount <= width; x += 4 * laneCount) {
        Floats a{}, b{}, c{}, d{};
        for (int k = k0; k <= k1; ++k) {
            const float w = window[k + radius];
            const float* row = centre + k * stride + x;
            a += w * load(row);
            b += w * load(row + laneCount);
            c += w * load(row + 2 * laneCount);
            d += w * load(row + 3 * laneCount);
        }
        store(out + x, a);
        store(out + x + laneCount, b);
        store(out + x + 2 * laneCount, c);
        store(out + x + 3 * laneCount, d);
    }
    for (; x < width; ++x) {
        float sum = 0;
        for (int k = k0; k <= k1; ++k) sum += window[k + radius] * centre[k * stride + x];
        out[x] = sum;
    }
}

}  // namespace

float ImageLoss::evaluate(const std::vector<float>& rendered, const std::vector<float>& photo,
                          const std::vector<uint8_t>& mask, int width, int height, std::vector<float>& gradient) {
    const size_t pixels = size_t(width) * size_t(height);
    const size_t w = size_t(width);
    planes_.resize(pixels * planeCount);
    scratch_.resize(size_t(pool_.size()) * scratchRows * w);
    rowSums_.resize(size_t(height) * 2);
    gradient.resize(pixels * 3);
    const bool masked = !mask.empty();
    const float valueCount = float(pixels * 3);
    auto plane = [&](int index) { return planes_.data() + size_t(index) * pixels; };
    auto scratch = [&](unsigned worker, int row) { return scratch_.data() + (size_t(worker) * scratchRows + row) * w; };
    // The rendered value the loss sees: the photo's where the mask leaves
    // the pixel out.
    auto seen = [&](size_t i, int c) { return masked && mask[i] == 0 ? photo[i * 3 + c] : rendered[i * 3 + c]; };

    double l1Sum = 0, ssimSum = 0;
    for (int c = 0; c < 3; ++c) {
        // x, y, x², y², x·y blurred along x: planes 0-4.
        pool_.parallelFor(size_t(height), 4, [&](size_t begin, size_t end, unsigned worker) {
            for (size_t y = begin; y < end; ++y) {
                float* sx = scratch(worker, 0);
                float* sy = scratch(worker, 1);
                float* sxx = scratch(worker, 2);
                float* syy = scratch(worker, 3);
                float* sxy = scratch(worker, 4);
                for (size_t x = 0; x < w; ++x) {
                    const size_t i = y * w + x;
                    sx[x] = seen(i, c);
                    sy[x] = photo[i * 3 + c];
                    sxx[x] = sx[x] * sx[x];
                    syy[x] = sy[x] * sy[x];
                    sxy[x] = sx[x] * sy[x];
                }
                for (int k = 0; k < 5; ++k) blurRow(scratch(worker, k), plane(k) + y * w, width);
            }
        });
        // Blurred along y, row by row: the SSIM, its derivatives with respect
        // to the blurred x, x² and x·y (planes 5-7), and the L1 of the row.
        pool_.parallelFor(size_t(height), 4, [&](size_t begin, size_t end, unsigned worker) {
            for (size_t y = begin; y < end; ++y) {
                for (int k = 0; k < 5; ++k) blurColumn(plane(k), scratch(worker, k), width, height, int(y));
                const float* mxRow = scratch(worker, 0);
                const float* myRow = scratch(worker, 1);
                const float* exxRow = scratch(worker, 2);
                const float* eyyRow = scratch(worker, 3);
                const float* exyRow = scratch(worker, 4);
                float* dm = plane(5) + y * w;
                float* dxx = plane(6) + y * w;
                float* dxy = plane(7) + y * w;
                double rowSsim = 0, rowL1 = 0;
                for (size_t x = 0; x < w; ++x) {
                    const float mx = mxRow[x], my = myRow[x];
                    const float sxx = exxRow[x] - mx * mx, syy = eyyRow[x] - my * my, sxy = exyRow[x] - mx * my;
                    const float a1 = 2 * mx * my + c1, a2 = 2 * sxy + c2;
                    const float b1 = mx * mx + my * my + c1, b2 = sxx + syy + c2;
                    // One division: 1/b1 and 1/b2 from 1/(b1·b2).
                    const float inverse = 1 / (b1 * b2);
                    const float ssim = a1 * a2 * inverse;
                    rowSsim += ssim;
                    const float dS_dsxy = 2 * a1 * inverse;
                    const float dS_dsxx = -ssim * (b1 * inverse);
                    const float dS_dmx = 2 * my * a2 * inverse - 2 * mx * ssim * (b2 * inverse);
                    dm[x] = dS_dmx - my * dS_dsxy - 2 * mx * dS_dsxx;
                    dxx[x] = dS_dsxx;
                    dxy[x] = dS_dsxy;
                    const size_t i = y * w + x;
                    rowL1 += std::fabs(seen(i, c) - photo[i * 3 + c]);
                }
                rowSums_[y * 2] = rowSsim;
                rowSums_[y * 2 + 1] = rowL1;
                // The row's derivative maps blurred along x: planes 8-10.
                for (int k = 0; k < 3; ++k) blurRow(plane(5 + k) + y * w, plane(8 + k) + y * w, width);
            }
        });
        // Summed in row order, so the result does not depend on the threads.
        for (size_t y = 0; y < size_t(height); ++y) {
            ssimSum += rowSums_[y * 2];
            l1Sum += rowSums_[y * 2 + 1];
        }
        // The derivative maps blurred along y; then the gradient of the loss.
        const float ssimScale = -ssimWeight / valueCount;
        const float l1Scale = l1Weight / valueCount;
        pool_.parallelFor(size_t(height), 4, [&](size_t begin, size_t end, unsigned worker) {
            for (size_t y = begin; y < end; ++y) {
                for (int k = 0; k < 3; ++k) blurColumn(plane(8 + k), scratch(worker, k), width, height, int(y));
                const float* gm = scratch(worker, 0);
                const float* gxx = scratch(worker, 1);
                const float* gxy = scratch(worker, 2);
                for (size_t x = 0; x < w; ++x) {
                    const size_t i = y * w + x;
                    const float xv = seen(i, c), yv = photo[i * 3 + c];
                    const float diff = xv - yv;
                    float g = ssimScale * (gm[x] + 2 * xv * gxx[x] + yv * gxy[x]);
                    g += l1Scale * float((diff > 0) - (diff < 0));
                    gradient[i * 3 + c] = masked && mask[i] == 0 ? 0.0f : g;
                }
            }
        });
    }
    lastSsim_ = float(ssimSum / valueCount);
    return float(l1Weight * l1Sum / valueCount + ssimWeight * (1.0 - ssimSum / valueCount));
}

double ImageLoss::squaredErrorSum(const std::vector<float>& rendered, const std::vector<float>& photo,
                                  const std::vector<uint8_t>& mask, size_t& valueCount) {
    double sum = 0;
    const size_t pixels = photo.size() / 3;
    for (size_t i = 0; i < pixels; ++i) {
        if (!mask.empty() && mask[i] == 0) continue;
        for (int c = 0; c < 3; ++c) {
            double diff = double(std::clamp(rendered[i * 3 + c], 0.0f, 1.0f)) - double(photo[i * 3 + c]);
            sum += diff * diff;
        }
        valueCount += 3;
    }
    return sum;
}

double ImageLoss::MeanPsnr::add(const std::vector<float>& rendered, const std::vector<float>& photo,
                                const std::vector<uint8_t>& mask) {
    size_t values = 0;
    const double errors = squaredErrorSum(rendered, photo, mask, values);
    if (values == 0) return 0;
    const double own = psnr(errors, values);
    sum_ += own;
    ++images_;
    return own;
}

double ImageLoss::psnr(double squaredErrorSum, size_t valueCount) {
    if (valueCount == 0) return 0;
    double mse = std::max(squaredErrorSum / double(valueCount), 1e-12);
    return 10.0 * std::log10(1.0 / mse);
}

}  // namespace tessaron::trainer
