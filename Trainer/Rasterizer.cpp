#include "Trainer/Rasterizer.hpp"

#include <algorithm>
#include <cmath>

namespace tessaron::trainer {

namespace {

constexpr int tilePixels = Rasterizer::tileSize * Rasterizer::tileSize;

// The pixels of [x0, x1) x [y0, y1) that a Gaussian's bounding square reaches.
struct PixelRange {
    int x0, x1, y0, y1;
};

PixelRange reach(const ProjectedGaussian& p, int x0, int x1, int y0, int y1) {
    return {std::max(x0, int(std::floor(p.meanX - p.radius))), std::min(x1, int(std::ceil(p.meanX + p.radius)) + 1),
            std::max(y0, int(std::floor(p.meanY - p.radius))), std::min(y1, int(std::ceil(p.meanY + p.radius)) + 1)};
}

}  // namespace

void Rasterizer::bin(const GaussianModel& model, const ViewCamera& camera, int shDegree) {
    const size_t count = model.size();
    tilesX_ = (camera.width + tileSize - 1) / tileSize;
    tilesY_ = (camera.height + tileSize - 1) / tileSize;
    centre_ = camera.centre();
    projected_.resize(count);
    rects_.resize(count);
    pool_.parallelFor(count, 2048, [&](size_t begin, size_t end, unsigned) {
        for (size_t index = begin; index < end; ++index) {
            ProjectedGaussian& p = projected_[index];
            TileRect& rect = rects_[index];
            rect = {};
            if (!GaussianProjection::project(model, index, camera, centre_, shDegree, p)) continue;
            int x0 = std::clamp(int(std::floor((p.meanX - p.radius) / tileSize)), 0, tilesX_);
            int x1 = std::clamp(int(std::floor((p.meanX + p.radius) / tileSize)) + 1, 0, tilesX_);
            int y0 = std::clamp(int(std::floor((p.meanY - p.radius) / tileSize)), 0, tilesY_);
            int y1 = std::clamp(int(std::floor((p.meanY + p.radius) / tileSize)) + 1, 0, tilesY_);
            if (x0 >= x1 || y0 >= y1) {
                p.radius = 0;
                continue;
            }
            rect = {int16_t(x0), int16_t(y0), int16_t(x1), int16_t(y1)};
        }
    });

    const size_t tiles = size_t(tilesX_) * size_t(tilesY_);
    tileStart_.assign(tiles + 1, 0);
    for (size_t index = 0; index < count; ++index) {
        const TileRect& rect = rects_[index];
        for (int ty = rect.y0; ty < rect.y1; ++ty)
            for (int tx = rect.x0; tx < rect.x1; ++tx) ++tileStart_[size_t(ty) * tilesX_ + tx + 1];
    }
    for (size_t tile = 0; tile < tiles; ++tile) tileStart_[tile + 1] += tileStart_[tile];
    entries_.resize(tileStart_[tiles]);
    tileCursor_.assign(tileStart_.begin(), tileStart_.end() - 1);
    for (size_t index = 0; index < count; ++index) {
        const TileRect& rect = rects_[index];
        for (int ty = rect.y0; ty < rect.y1; ++ty)
            for (int tx = rect.x0; tx < rect.x1; ++tx) entries_[tileCursor_[size_t(ty) * tilesX_ + tx]++] = uint32_t(index);
    }
    pool_.parallelFor(tiles, 4, [&](size_t begin, size_t end, unsigned) {
        for (size_t tile = begin; tile < end; ++tile) {
            // Depth first, index second: the same order on every run.
            std::sort(entries_.begin() + tileStart_[tile], entries_.begin() + tileStart_[tile + 1],
                      [&](uint32_t a, uint32_t b) {
                          float da = projected_[a].depth, db = projected_[b].depth;
                          return da < db || (da == db && a < b);
                      });
        }
    });
}

void Rasterizer::forward(const GaussianModel& model, const ViewCamera& camera, int shDegree, const Vec3& background,
                         std::vector<float>& image) {
    bin(model, camera, shDegree);
    const size_t pixels = size_t(camera.width) * size_t(camera.height);
    image.resize(pixels * 3);
    finalTransmittance_.resize(pixels);
    lastEntry_.resize(pixels);
    pool_.parallelFor(size_t(tilesX_) * size_t(tilesY_), 1, [&](size_t begin, size_t end, unsigned) {
        for (size_t tile = begin; tile < end; ++tile) renderTile(int(tile), camera, background, image.data());
    });
}

void Rasterizer::renderTile(int tile, const ViewCamera& camera, const Vec3& background, float* image) {
    const int x0 = (tile % tilesX_) * tileSize, y0 = (tile / tilesX_) * tileSize;
    const int x1 = std::min(camera.width, x0 + tileSize), y1 = std::min(camera.height, y0 + tileSize);
    float T[tilePixels];
    float C[tilePixels * 3];
    uint32_t last[tilePixels];
    uint8_t done[tilePixels];
    std::fill_n(T, tilePixels, 1.0f);
    std::fill_n(C, tilePixels * 3, 0.0f);
    std::fill_n(last, tilePixels, 0u);
    std::fill_n(done, tilePixels, uint8_t(0));
    int remaining = (x1 - x0) * (y1 - y0);

    const uint32_t begin = tileStart_[tile], end = tileStart_[tile + 1];
    for (uint32_t entry = begin; entry < end && remaining > 0; ++entry) {
        const ProjectedGaussian& p = projected_[entries_[entry]];
        const PixelRange r = reach(p, x0, x1, y0, y1);
        const uint32_t order = entry - begin + 1;
        for (int y = r.y0; y < r.y1; ++y) {
            const float dy = float(y) + 0.5f - p.meanY;
            for (int x = r.x0; x < r.x1; ++x) {
                const int local = (y - y0) * tileSize + (x - x0);
                if (done[local]) continue;
                const float dx = float(x) + 0.5f - p.meanX;
                const float power = -0.5f * (p.conicA * dx * dx + p.conicC * dy * dy) - p.conicB * dx * dy;
                if (power > 0) continue;
                const float alpha = std::min(maxAlpha, p.opacity * std::exp(power));
                if (alpha < minAlpha) continue;
                const float next = T[local] * (1 - alpha);
                if (next < minTransmittance) {
                    done[local] = 1;
                    --remaining;
                    continue;
                }
                const float weight = alpha * T[local];
                C[local * 3] += weight * p.colour[0];
                C[local * 3 + 1] += weight * p.colour[1];
                C[local * 3 + 2] += weight * p.colour[2];
                T[local] = next;
                last[local] = order;
            }
        }
    }
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const int local = (y - y0) * tileSize + (x - x0);
            const size_t pixel = size_t(y) * size_t(camera.width) + size_t(x);
            for (int c = 0; c < 3; ++c) image[pixel * 3 + c] = C[local * 3 + c] + T[local] * background[c];
            finalTransmittance_[pixel] = T[local];
            lastEntry_[pixel] = last[local];
        }
    }
}

void Rasterizer::backward(const GaussianModel& model, const ViewCamera& camera, int shDegree, const Vec3& background,
                          const std::vector<float>& imageGradient, GaussianModel& gradients,
                          std::vector<float>& meanGradientNorms) {
    const size_t count = model.size();
    if (gradients.size() != count) gradients.resize(count);
    entryGradients_.resize(entries_.size());
    pool_.parallelFor(size_t(tilesX_) * size_t(tilesY_), 1, [&](size_t begin, size_t end, unsigned) {
        for (size_t tile = begin; tile < end; ++tile) backwardTile(int(tile), camera, background, imageGradient.data());
    });

    // Gathered in tile order, so the sums do not depend on the threads.
    gaussianGradients_.assign(count, ProjectedGradient{});
    for (size_t entry = 0; entry < entries_.size(); ++entry) {
        const ProjectedGradient& from = entryGradients_[entry];
        ProjectedGradient& to = gaussianGradients_[entries_[entry]];
        to.meanX += from.meanX;
        to.meanY += from.meanY;
        to.conicA += from.conicA;
        to.conicB += from.conicB;
        to.conicC += from.conicC;
        to.opacity += from.opacity;
        for (int c = 0; c < 3; ++c) to.colour[c] += from.colour[c];
    }

    meanGradientNorms.resize(count);
    pool_.parallelFor(count, 2048, [&](size_t begin, size_t end, unsigned) {
        for (size_t index = begin; index < end; ++index) {
            meanGradientNorms[index] = 0;
            gradients.setZero(index);
            if (projected_[index].radius <= 0) continue;
            meanGradientNorms[index] = GaussianProjection::backward(model, index, camera, centre_, shDegree,
                                                                    gaussianGradients_[index], gradients);
        }
    });
}

void Rasterizer::backwardTile(int tile, const ViewCamera& camera, const Vec3& background, const float* imageGradient) {
    const int x0 = (tile % tilesX_) * tileSize, y0 = (tile / tilesX_) * tileSize;
    const int x1 = std::min(camera.width, x0 + tileSize), y1 = std::min(camera.height, y0 + tileSize);
    float T[tilePixels];
    float behind[tilePixels * 3];  // colour of what lies behind, per unit of light reaching it
    float dC[tilePixels * 3];
    uint32_t last[tilePixels];
    uint32_t deepest = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const int local = (y - y0) * tileSize + (x - x0);
            const size_t pixel = size_t(y) * size_t(camera.width) + size_t(x);
            T[local] = finalTransmittance_[pixel];
            last[local] = lastEntry_[pixel];
            deepest = std::max(deepest, last[local]);
            for (int c = 0; c < 3; ++c) {
                behind[local * 3 + c] = background[c];
                dC[local * 3 + c] = imageGradient[pixel * 3 + c];
            }
        }
    }
    const uint32_t begin = tileStart_[tile], end = tileStart_[tile + 1];
    for (uint32_t entry = begin + deepest; entry < end; ++entry) entryGradients_[entry] = ProjectedGradient{};
    for (uint32_t order = deepest; order >= 1; --order) {
        const uint32_t entry = begin + order - 1;
        const ProjectedGaussian& p = projected_[entries_[entry]];
        const PixelRange r = reach(p, x0, x1, y0, y1);
        float gMeanX = 0, gMeanY = 0, gA = 0, gB = 0, gC = 0, gOpacity = 0, gR = 0, gG = 0, gBl = 0;
        for (int y = r.y0; y < r.y1; ++y) {
            const float dy = float(y) + 0.5f - p.meanY;
            for (int x = r.x0; x < r.x1; ++x) {
                const int local = (y - y0) * tileSize + (x - x0);
                if (order > last[local]) continue;
                const float dx = float(x) + 0.5f - p.meanX;
                const float power = -0.5f * (p.conicA * dx * dx + p.conicC * dy * dy) - p.conicB * dx * dy;
                if (power > 0) continue;
                const float falloff = std::exp(power);
                const float raw = p.opacity * falloff;
                const float alpha = std::min(maxAlpha, raw);
                if (alpha < minAlpha) continue;
                const float before = T[local] / (1 - alpha);
                const float weight = alpha * before;
                float* b = behind + local * 3;
                const float* d = dC + local * 3;
                gR += weight * d[0];
                gG += weight * d[1];
                gBl += weight * d[2];
                const float gAlpha = before * ((p.colour[0] - b[0]) * d[0] + (p.colour[1] - b[1]) * d[1] +
                                               (p.colour[2] - b[2]) * d[2]);
                for (int c = 0; c < 3; ++c) b[c] = alpha * p.colour[c] + (1 - alpha) * b[c];
                T[local] = before;
                if (raw > maxAlpha) continue;  // clamped: no gradient through alpha
                gOpacity += falloff * gAlpha;
                const float gPower = alpha * gAlpha;
                gMeanX += gPower * (p.conicA * dx + p.conicB * dy);
                gMeanY += gPower * (p.conicC * dy + p.conicB * dx);
                gA += -0.5f * dx * dx * gPower;
                gB += -dx * dy * gPower;
                gC += -0.5f * dy * dy * gPower;
            }
        }
        ProjectedGradient& out = entryGradients_[entry];
        out.meanX = gMeanX;
        out.meanY = gMeanY;
        out.conicA = gA;
        out.conicB = gB;
        out.conicC = gC;
        out.opacity = gOpacity;
        out.colour[0] = gR;
        out.colour[1] = gG;
        out.colour[2] = gBl;
    }
}

}  // namespace tessaron::trainer
