#include "Trainer/ImageLoss.hpp"

#include <algorithm>
#include <array>
#include <cmath>

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

void ImageLoss::blur(const float* in, float* out, int width, int height) {
    float* tmp = tmp_.data();
    pool_.parallelFor(size_t(height), 8, [&](size_t begin, size_t end, unsigned) {
        for (size_t y = begin; y < end; ++y) {
            const float* row = in + y * width;
            float* t = tmp + y * width;
            for (int x = 0; x < width; ++x) {
                float sum = 0;
                int k0 = std::max(-radius, -x), k1 = std::min(radius, width - 1 - x);
                for (int k = k0; k <= k1; ++k) sum += window[k + radius] * row[x + k];
                t[x] = sum;
            }
        }
    });
    pool_.parallelFor(size_t(height), 8, [&](size_t begin, size_t end, unsigned) {
        for (size_t y = begin; y < end; ++y) {
            float* o = out + y * width;
            std::fill_n(o, width, 0.0f);
            int k0 = std::max(-radius, -int(y)), k1 = std::min(radius, height - 1 - int(y));
            for (int k = k0; k <= k1; ++k) {
                const float w = window[k + radius];
                const float* t = tmp + (int(y) + k) * width;
                for (int x = 0; x < width; ++x) o[x] += w * t[x];
            }
        }
    });
}

float ImageLoss::evaluate(const std::vector<float>& rendered, const std::vector<float>& photo,
                          const std::vector<uint8_t>& mask, int width, int height, std::vector<float>& gradient) {
    const size_t pixels = size_t(width) * size_t(height);
    for (auto* buffer : {&x_, &y_, &mx_, &my_, &exx_, &eyy_, &exy_, &dm_, &dxx_, &dxy_, &tmp_}) buffer->resize(pixels);
    gradient.resize(pixels * 3);
    const bool masked = !mask.empty();
    const float valueCount = float(pixels * 3);
    double l1Sum = 0, ssimSum = 0;

    for (int c = 0; c < 3; ++c) {
        for (size_t i = 0; i < pixels; ++i) {
            y_[i] = photo[i * 3 + c];
            x_[i] = masked && mask[i] == 0 ? y_[i] : rendered[i * 3 + c];
        }
        for (size_t i = 0; i < pixels; ++i) {
            dm_[i] = x_[i] * x_[i];
            dxx_[i] = y_[i] * y_[i];
            dxy_[i] = x_[i] * y_[i];
        }
        blur(x_.data(), mx_.data(), width, height);
        blur(y_.data(), my_.data(), width, height);
        blur(dm_.data(), exx_.data(), width, height);
        blur(dxx_.data(), eyy_.data(), width, height);
        blur(dxy_.data(), exy_.data(), width, height);

        // Per pixel: the SSIM and its partial derivatives with respect to the
        // blurred x, blurred x² and blurred x·y.
        double channelSsim = 0;
        for (size_t i = 0; i < pixels; ++i) {
            const float mx = mx_[i], my = my_[i];
            const float sxx = exx_[i] - mx * mx, syy = eyy_[i] - my * my, sxy = exy_[i] - mx * my;
            const float a1 = 2 * mx * my + c1, a2 = 2 * sxy + c2;
            const float b1 = mx * mx + my * my + c1, b2 = sxx + syy + c2;
            const float s = a1 * a2 / (b1 * b2);
            channelSsim += s;
            const float dS_dsxy = 2 * a1 / (b1 * b2);
            const float dS_dsxx = -s / b2;
            const float dS_dmx = 2 * my * a2 / (b1 * b2) - 2 * mx * s / b1;
            dm_[i] = dS_dmx - my * dS_dsxy - 2 * mx * dS_dsxx;
            dxx_[i] = dS_dsxx;
            dxy_[i] = dS_dsxy;
        }
        ssimSum += channelSsim;
        blur(dm_.data(), mx_.data(), width, height);
        blur(dxx_.data(), exx_.data(), width, height);
        blur(dxy_.data(), exy_.data(), width, height);

        const float ssimScale = -ssimWeight / valueCount;
        const float l1Scale = l1Weight / valueCount;
        for (size_t i = 0; i < pixels; ++i) {
            const float diff = x_[i] - y_[i];
            l1Sum += std::fabs(diff);
            float g = ssimScale * (mx_[i] + 2 * x_[i] * exx_[i] + y_[i] * exy_[i]);
            g += l1Scale * float((diff > 0) - (diff < 0));
            gradient[i * 3 + c] = masked && mask[i] == 0 ? 0.0f : g;
        }
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

double ImageLoss::psnr(double squaredErrorSum, size_t valueCount) {
    if (valueCount == 0) return 0;
    double mse = std::max(squaredErrorSum / double(valueCount), 1e-12);
    return 10.0 * std::log10(1.0 / mse);
}

}  // namespace tessaron::trainer
