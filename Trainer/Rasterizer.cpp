#include "Trainer/Rasterizer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tessaron::trainer {

namespace {

constexpr int tilePixels = Rasterizer::tileSize * Rasterizer::tileSize;
// One AVX2 register of floats.
constexpr int halfRow = Rasterizer::tileSize / 2;

// The pixels of [x0, x1) x [y0, y1) that a Gaussian's bounding square reaches.
struct PixelRange {
    int x0, x1, y0, y1;
};

// The pixels of a tile, clipped to the image.
PixelRange tileRange(int tile, int tilesX, const ViewCamera& camera) {
    const int x0 = (tile % tilesX) * Rasterizer::tileSize, y0 = (tile / tilesX) * Rasterizer::tileSize;
    return {x0, std::min(camera.width, x0 + Rasterizer::tileSize), y0,
            std::min(camera.height, y0 + Rasterizer::tileSize)};
}

PixelRange reach(const ProjectedGaussian& p, int x0, int x1, int y0, int y1) {
    return {std::max(x0, int(std::floor(p.meanX - p.radius))), std::min(x1, int(std::ceil(p.meanX + p.radius)) + 1),
            std::max(y0, int(std::floor(p.meanY - p.radius))), std::min(y1, int(std::ceil(p.meanY + p.radius)) + 1)};
}

// exp(x) for x <= 0 to within a few units in the last place, written
// without branches or library calls so that the pixel loops vectorise.
inline float fastExp(float x) {
    x = std::max(x, -87.0f);
    const float n = (x * 1.44269504f + 12582912.0f) - 12582912.0f;  // round(x / ln 2)
    const float r = (x - n * 0.693145752f) - n * 1.42860677e-6f;
    float p = 1.0f / 720;
    p = p * r + 1.0f / 120;
    p = p * r + 1.0f / 24;
    p = p * r + 1.0f / 6;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    const int32_t bits = (int32_t(n) + 127) << 23;
    float scale;
    std::memcpy(&scale, &bits, 4);
    return p * scale;
}

// Per-pixel state of one tile while compositing, one array per quantity so
// that a row of pixels is a run of adjacent floats.
struct TileState {
    float T[tilePixels];
    float r[tilePixels], g[tilePixels], b[tilePixels];
    int32_t last[tilePixels];
    int32_t done[tilePixels];
};

// Composits one Gaussian into the pixels of `range` (within the tile at x0,
// y0); returns how many pixels it finished.
__attribute__((target_clones("arch=x86-64-v3", "default"))) int compositeGaussian(
    TileState& s, const ProjectedGaussian& gaussian, const PixelRange& range, int x0, int y0, int32_t order) {
    const ProjectedGaussian p = gaussian;  // a local copy: the stores below cannot alias it
    int finished = 0;
    for (int y = range.y0; y < range.y1; ++y) {
        const float dy = float(y) + 0.5f - p.meanY;
        const int row = (y - y0) * Rasterizer::tileSize;
        // Half rows of the tile, lanes outside the range masked: a fixed trip
        // count vectorises without a scalar tail, and a half the Gaussian
        // does not reach is skipped.
        for (int first = 0; first < Rasterizer::tileSize; first += halfRow) {
          if (x0 + first >= range.x1 || x0 + first + halfRow <= range.x0) continue;
          for (int lane = first; lane < first + halfRow; ++lane) {
            const int l = row + lane, x = x0 + lane;
            const float dx = float(x) + 0.5f - p.meanX;
            const float power = -0.5f * (p.conicA * dx * dx + p.conicC * dy * dy) - p.conicB * dx * dy;
            const float raw = p.opacity * fastExp(power);
            const float alpha = std::min(Rasterizer::maxAlpha, raw);
            // Tested on the unclamped value: GCC turns a test of the min()
            // into a branch, and the loop would not vectorise.
            const bool valid = (x >= range.x0) & (x < range.x1) & (s.done[l] == 0) & (power <= 0) &
                               (raw >= Rasterizer::minAlpha);
            const float next = s.T[l] * (1 - alpha);
            const bool stop = valid & (next < Rasterizer::minTransmittance);
            const bool add = valid & !stop;
            const float weight = add ? alpha * s.T[l] : 0.0f;
            s.r[l] += weight * p.colour[0];
            s.g[l] += weight * p.colour[1];
            s.b[l] += weight * p.colour[2];
            s.T[l] = add ? next : s.T[l];
            s.last[l] = add ? order : s.last[l];
            s.done[l] |= int32_t(stop);
            finished += int(stop);
          }
        }
    }
    return finished;
}

// The state of one tile's pixels while the compositing is undone back to
// front: transmittance, the colour behind the current Gaussian, and the
// image gradient.
struct BackwardState {
    float T[tilePixels];
    float behindR[tilePixels], behindG[tilePixels], behindB[tilePixels];
    float dR[tilePixels], dG[tilePixels], dB[tilePixels];
    int32_t last[tilePixels];
};

// Steps one Gaussian back out of the pixels of `range` and returns the
// gradient of its projected fields. Sums run per pixel column first, so the
// loop vectorises without reordering any one sum.
__attribute__((target_clones("arch=x86-64-v3", "default"))) ProjectedGradient uncompositeGaussian(
    BackwardState& s, const ProjectedGaussian& gaussian, const PixelRange& range, int x0, int y0, int32_t order) {
    const ProjectedGaussian p = gaussian;  // a local copy: the stores below cannot alias it
    constexpr int lanes = Rasterizer::tileSize;
    float gMeanX[lanes] = {}, gMeanY[lanes] = {}, gA[lanes] = {}, gB[lanes] = {}, gC[lanes] = {};
    float gOpacity[lanes] = {}, gR[lanes] = {}, gG[lanes] = {}, gBl[lanes] = {};
    for (int y = range.y0; y < range.y1; ++y) {
        const float dy = float(y) + 0.5f - p.meanY;
        const int row = (y - y0) * Rasterizer::tileSize;
        for (int first = 0; first < lanes; first += halfRow) {
          if (x0 + first >= range.x1 || x0 + first + halfRow <= range.x0) continue;
          for (int lane = first; lane < first + halfRow; ++lane) {
            const int l = row + lane, x = x0 + lane;
            const float dx = float(x) + 0.5f - p.meanX;
            const float power = -0.5f * (p.conicA * dx * dx + p.conicC * dy * dy) - p.conicB * dx * dy;
            const float falloff = fastExp(power);
            const float raw = p.opacity * falloff;
            const bool unclamped = raw <= Rasterizer::maxAlpha;
            const float alpha = unclamped ? raw : Rasterizer::maxAlpha;
            const bool valid = (x >= range.x0) & (x < range.x1) & (order <= s.last[l]) & (power <= 0) &
                               (raw >= Rasterizer::minAlpha);
            const float before = s.T[l] / (1 - alpha);
            const float weight = valid ? alpha * before : 0.0f;
            gR[lane] += weight * s.dR[l];
            gG[lane] += weight * s.dG[l];
            gBl[lane] += weight * s.dB[l];
            const float gAlpha = before * ((p.colour[0] - s.behindR[l]) * s.dR[l] +
                                           (p.colour[1] - s.behindG[l]) * s.dG[l] +
                                           (p.colour[2] - s.behindB[l]) * s.dB[l]);
            // behind ← α·colour + (1 − α)·behind, written so that GCC keeps
            // the loop free of branches.
            const float step = valid ? alpha : 0.0f;
            s.behindR[l] += step * (p.colour[0] - s.behindR[l]);
            s.behindG[l] += step * (p.colour[1] - s.behindG[l]);
            s.behindB[l] += step * (p.colour[2] - s.behindB[l]);
            s.T[l] = valid ? before : s.T[l];
            // A clamped alpha passes no gradient to the opacity or the shape.
            const bool shaped = valid & unclamped;
            gOpacity[lane] += shaped ? falloff * gAlpha : 0.0f;
            const float gPower = shaped ? alpha * gAlpha : 0.0f;
            gMeanX[lane] += gPower * (p.conicA * dx + p.conicB * dy);
            gMeanY[lane] += gPower * (p.conicC * dy + p.conicB * dx);
            gA[lane] += -0.5f * dx * dx * gPower;
            gB[lane] += -dx * dy * gPower;
            gC[lane] += -0.5f * dy * dy * gPower;
          }
        }
    }
    ProjectedGradient out;
    for (int lane = 0; lane < lanes; ++lane) {
        out.meanX += gMeanX[lane];
        out.meanY += gMeanY[lane];
        out.conicA += gA[lane];
        out.conicB += gB[lane];
        out.conicC += gC[lane];
        out.opacity += gOpacity[lane];
        out.colour[0] += gR[lane];
        out.colour[1] += gG[lane];
        out.colour[2] += gBl[lane];
    }
    return out;
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
    const auto [x0, x1, y0, y1] = tileRange(tile, tilesX_, camera);
    TileState s;
    std::fill_n(s.T, tilePixels, 1.0f);
    std::fill_n(s.r, tilePixels, 0.0f);
    std::fill_n(s.g, tilePixels, 0.0f);
    std::fill_n(s.b, tilePixels, 0.0f);
    std::fill_n(s.last, tilePixels, 0);
    std::fill_n(s.done, tilePixels, 0);
    int remaining = (x1 - x0) * (y1 - y0);

    const uint32_t begin = tileStart_[tile], end = tileStart_[tile + 1];
    for (uint32_t entry = begin; entry < end && remaining > 0; ++entry) {
        const ProjectedGaussian& p = projected_[entries_[entry]];
        remaining -= compositeGaussian(s, p, reach(p, x0, x1, y0, y1), x0, y0, int32_t(entry - begin + 1));
    }
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const int local = (y - y0) * tileSize + (x - x0);
            const size_t pixel = size_t(y) * size_t(camera.width) + size_t(x);
            image[pixel * 3] = s.r[local] + s.T[local] * background[0];
            image[pixel * 3 + 1] = s.g[local] + s.T[local] * background[1];
            image[pixel * 3 + 2] = s.b[local] + s.T[local] * background[2];
            finalTransmittance_[pixel] = s.T[local];
            lastEntry_[pixel] = uint32_t(s.last[local]);
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
    const auto [x0, x1, y0, y1] = tileRange(tile, tilesX_, camera);
    BackwardState s;
    // Lanes outside the image take part in the vector loops, masked; give
    // them harmless values.
    std::fill_n(s.T, tilePixels, 1.0f);
    std::fill_n(s.behindR, tilePixels, 0.0f);
    std::fill_n(s.behindG, tilePixels, 0.0f);
    std::fill_n(s.behindB, tilePixels, 0.0f);
    std::fill_n(s.dR, tilePixels, 0.0f);
    std::fill_n(s.dG, tilePixels, 0.0f);
    std::fill_n(s.dB, tilePixels, 0.0f);
    std::fill_n(s.last, tilePixels, 0);
    int32_t deepest = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const int local = (y - y0) * tileSize + (x - x0);
            const size_t pixel = size_t(y) * size_t(camera.width) + size_t(x);
            s.T[local] = finalTransmittance_[pixel];
            s.last[local] = int32_t(lastEntry_[pixel]);
            deepest = std::max(deepest, s.last[local]);
            s.behindR[local] = background[0];
            s.behindG[local] = background[1];
            s.behindB[local] = background[2];
            s.dR[local] = imageGradient[pixel * 3];
            s.dG[local] = imageGradient[pixel * 3 + 1];
            s.dB[local] = imageGradient[pixel * 3 + 2];
        }
    }
    const uint32_t begin = tileStart_[tile], end = tileStart_[tile + 1];
    for (uint32_t entry = begin + uint32_t(deepest); entry < end; ++entry) entryGradients_[entry] = ProjectedGradient{};
    for (int32_t order = deepest; order >= 1; --order) {
        const uint32_t entry = begin + uint32_t(order) - 1;
        const ProjectedGaussian& p = projected_[entries_[entry]];
        entryGradients_[entry] = uncompositeGaussian(s, p, reach(p, x0, x1, y0, y1), x0, y0, order);
    }
}

}  // namespace tessaron::trainer
