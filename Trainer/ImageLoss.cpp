#include "Trainer/ImageLoss.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "Trainer/Lanes.hpp"
#include "Trainer/TargetClones.hpp"
#include "Trainer/Tuning.hpp"

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

// One row blurred along x. The window is cut at the row's ends; inside,
// eight outputs at a time, the taps at equal distances on either side are
// added before their common weight multiplies them.
TESSARON_AVX2_CLONES void blurRow(const float* in, float* out, int width) {
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
        Floats sum = window[radius] * load(in + x);
        for (int k = 1; k <= radius; ++k) sum += window[radius + k] * (load(in + x - k) + load(in + x + k));
        store(out + x, sum);
    }
    for (; x < inner1; ++x) cut(x);
}

// Row y of a plane that is already blurred along x, blurred along y: the
// taps run over whole rows, 32 columns' sums at a time in registers.
TESSARON_AVX2_CLONES void blurColumn(const float* plane, float* out, int width,
                                                                          int height, int y) {
    const int k0 = std::max(-radius, -y), k1 = std::min(radius, height - 1 - y);
    const float* centre = plane + size_t(y) * size_t(width);
    const ptrdiff_t stride = width;
    int x = 0;
    if (k0 == -radius && k1 == radius) {
        // Away from the plane's top and bottom, the window is symmetric.
        for (; x + 4 * laneCount <= width; x += 4 * laneCount) {
            const float* row = centre + x;
            Floats a = window[radius] * load(row), b = window[radius] * load(row + laneCount),
                   c = window[radius] * load(row + 2 * laneCount), d = window[radius] * load(row + 3 * laneCount);
            for (int k = 1; k <= radius; ++k) {
                const float w = window[radius + k];
                const float* above = row - k * stride;
                const float* below = row + k * stride;
                a += w * (load(above) + load(below));
                b += w * (load(above + laneCount) + load(below + laneCount));
                c += w * (load(above + 2 * laneCount) + load(below + 2 * laneCount));
                d += w * (load(above + 3 * laneCount) + load(below + 3 * laneCount));
            }
            store(out + x, a);
            store(out + x + laneCount, b);
            store(out + x + 2 * laneCount, c);
            store(out + x + 3 * laneCount, d);
        }
    }
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

// A rendered value as the loss sees it: the photo's where the mask leaves
// the pixel out, so that it adds nothing. `mask` may be null.
inline __attribute__((always_inline)) float seenValue(const float* rendered, const float* photo, const uint8_t* mask,
                                                      int x, int channel) {
    return mask != nullptr && mask[x] == 0 ? photo[x * 3 + channel] : rendered[x * 3 + channel];
}

// One row of one channel: the rendered values as the loss sees them, the
// photo's, their squares and product; returns the row's L1 sum.
TESSARON_AVX2_CLONES float prepareRow(
    const float* rendered, const float* photo, const uint8_t* mask, int channel, int width, float* sx, float* sy,
    float* sxx, float* syy, float* sxy) {
    float l1 = 0;
#pragma omp simd reduction(+ : l1)
    for (int x = 0; x < width; ++x) {
        const float y = photo[x * 3 + channel];
        const float v = seenValue(rendered, photo, mask, x, channel);
        sx[x] = v;
        sy[x] = y;
        sxx[x] = v * v;
        syy[x] = y * y;
        sxy[x] = v * y;
        l1 += std::fabs(v - y);
    }
    return l1;
}

// One row's SSIM from its blurred means, squares and product, and the SSIM's
// derivatives with respect to the blurred x, x² and x·y; returns the row's
// SSIM sum.
TESSARON_AVX2_CLONES float ssimRow(
    const float* mxRow, const float* myRow, const float* exxRow, const float* eyyRow, const float* exyRow,
    int width, float* dm, float* dxx, float* dxy) {
    float sum = 0;
#pragma omp simd reduction(+ : sum)
    for (int x = 0; x < width; ++x) {
        const float mx = mxRow[x], my = myRow[x];
        const float sxx = exxRow[x] - mx * mx, syy = eyyRow[x] - my * my, sxy = exyRow[x] - mx * my;
        const float a1 = 2 * mx * my + c1, a2 = 2 * sxy + c2;
        const float b1 = mx * mx + my * my + c1, b2 = sxx + syy + c2;
        // One division: 1/b1 and 1/b2 from 1/(b1·b2).
        const float inverse = 1 / (b1 * b2);
        const float ssim = a1 * a2 * inverse;
        sum += ssim;
        const float dS_dsxy = 2 * a1 * inverse;
        const float dS_dsxx = -ssim * (b1 * inverse);
        const float dS_dmx = 2 * my * a2 * inverse - 2 * mx * ssim * (b2 * inverse);
        dm[x] = dS_dmx - my * dS_dsxy - 2 * mx * dS_dsxx;
        dxx[x] = dS_dsxx;
        dxy[x] = dS_dsxy;
    }
    return sum;
}

// One row of one channel of the loss's gradient from the blurred derivative
// maps: none where the mask leaves a pixel out. `mask` may be null.
TESSARON_AVX2_CLONES void gradientRow(
    const float* rendered, const float* photo, const uint8_t* mask, int channel, int width, const float* gm,
    const float* gxx, const float* gxy, float ssimScale, float l1Scale, float* gradient) {
    for (int x = 0; x < width; ++x) {
        const float y = photo[x * 3 + channel];
        const float v = seenValue(rendered, photo, mask, x, channel);
        const float diff = v - y;
        const float sign = diff > 0 ? 1.0f : diff < 0 ? -1.0f : 0.0f;
        const float g = ssimScale * (gm[x] + 2 * v * gxx[x] + y * gxy[x]) + l1Scale * sign;
        gradient[x * 3 + channel] = mask != nullptr && mask[x] == 0 ? 0.0f : g;
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

    double l1Sum = 0, ssimSum = 0;
    for (int c = 0; c < 3; ++c) {
        // x, y, x², y², x·y blurred along x: planes 0-4.
        pool_.parallelFor(size_t(height), tuning::lossRowGrain, [&](size_t begin, size_t end, unsigned worker) {
            for (size_t y = begin; y < end; ++y) {
                const size_t row = y * w;
                rowSums_[y * 2 + 1] = prepareRow(rendered.data() + row * 3, photo.data() + row * 3,
                                                 masked ? mask.data() + row : nullptr, c, width, scratch(worker, 0),
                                                 scratch(worker, 1), scratch(worker, 2), scratch(worker, 3),
                                                 scratch(worker, 4));
                for (int k = 0; k < 5; ++k) blurRow(scratch(worker, k), plane(k) + y * w, width);
            }
        });
        // Blurred along y, row by row: the SSIM, its derivatives with respect
        // to the blurred x, x² and x·y (planes 5-7), and the L1 of the row.
        pool_.parallelFor(size_t(height), tuning::lossRowGrain, [&](size_t begin, size_t end, unsigned worker) {
            for (size_t y = begin; y < end; ++y) {
                for (int k = 0; k < 5; ++k) blurColumn(plane(k), scratch(worker, k), width, height, int(y));
                rowSums_[y * 2] = ssimRow(scratch(worker, 0), scratch(worker, 1), scratch(worker, 2),
                                          scratch(worker, 3), scratch(worker, 4), width, plane(5) + y * w,
                                          plane(6) + y * w, plane(7) + y * w);
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
        pool_.parallelFor(size_t(height), tuning::lossRowGrain, [&](size_t begin, size_t end, unsigned worker) {
            for (size_t y = begin; y < end; ++y) {
                for (int k = 0; k < 3; ++k) blurColumn(plane(8 + k), scratch(worker, k), width, height, int(y));
                const size_t row = y * w;
                gradientRow(rendered.data() + row * 3, photo.data() + row * 3, masked ? mask.data() + row : nullptr,
                            c, width, scratch(worker, 0), scratch(worker, 1), scratch(worker, 2), ssimScale, l1Scale,
                            gradient.data() + row * 3);
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
