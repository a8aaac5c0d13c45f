#include "Trainer/Rasterizer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "Trainer/Lanes.hpp"

namespace tessaron::trainer {

namespace {

// One AVX2 register of floats.
constexpr int halfRow = Rasterizer::tileSize / 2;
constexpr int halfRows = Rasterizer::tileSize * 2;

// The pixels [x0, x1) x [y0, y1).
struct PixelRange {
    int x0, x1, y0, y1;
};

// The pixels of a tile, clipped to the image.
PixelRange tileRange(int tile, int tilesX, const ViewCamera& camera) {
    const int x0 = (tile % tilesX) * Rasterizer::tileSize, y0 = (tile / tilesX) * Rasterizer::tileSize;
    return {x0, std::min(camera.width, x0 + Rasterizer::tileSize), y0,
            std::min(camera.height, y0 + Rasterizer::tileSize)};
}

// Eight floats or ints: half a tile row.
using lanes::Floats;
using lanes::Floats4;
using lanes::Ints;
using Ints4 = int32_t __attribute__((vector_size(16)));

// 2^x for x in [-126, 0], to about 2e-6 relative, without branches or
// library calls: 2^round(x) from the exponent bits times a polynomial for
// the rest, evaluated in pairs to keep the dependency chain short. Adding
// 1.5·2^23 rounds x and leaves round(x) in the low bits of the sum. Lanes
// below the range give garbage, which callers mask away.
inline __attribute__((always_inline)) Floats fastExp2(Floats x) {
    constexpr float shifter = 12582912.0f;  // 1.5·2^23, whose bits are 0x4B400000
    const Floats shifted = x + shifter;
    const Floats f = x - (shifted - shifter);  // [-0.5, 0.5]
    const Floats f2 = f * f;
    const Floats low = f * 0.693147181f + 1.0f;
    const Floats middle = f * 0.0555041087f + 0.240226507f;
    const Floats high = f * 0.00133335581f + 0.00961812911f;
    const Floats p = low + f2 * (middle + f2 * high);
    return p * lanes::powerOfTwo<Floats>(Ints(shifted) - 0x4B400000);
}

// Views of a mask as four 64-bit words: a test of all lanes in a few
// instructions.
using Words = uint64_t __attribute__((vector_size(32)));

inline __attribute__((always_inline)) bool anyLane(Ints mask) {
    const Words words = Words(mask);
    return (words[0] | words[1] | words[2] | words[3]) != 0;
}

inline __attribute__((always_inline)) bool allLanes(Ints mask) {
    const Words words = Words(mask);
    return (words[0] & words[1] & words[2] & words[3]) == ~uint64_t(0);
}

// Floats where the mask is set, zero elsewhere.
inline __attribute__((always_inline)) Floats masked(Ints mask, Floats value) {
    return Floats(mask & Ints(value));
}

// The lane sums are reduced in 128-bit halves, which every x86 core
// shuffles cheaply (moving data across the halves of a 256-bit register is
// slow on some).
inline __attribute__((always_inline)) Floats4 foldHalves(Floats v) {
    Floats4 halves[2];
    std::memcpy(halves, &v, sizeof v);
    return halves[0] + halves[1];
}

// The lane sums of four vectors, in order.
inline __attribute__((always_inline)) Floats4 laneSums(Floats4 a, Floats4 b, Floats4 c, Floats4 d) {
    const Floats4 ab = __builtin_shuffle(a, b, Ints4{0, 4, 1, 5}) + __builtin_shuffle(a, b, Ints4{2, 6, 3, 7});
    const Floats4 cd = __builtin_shuffle(c, d, Ints4{0, 4, 1, 5}) + __builtin_shuffle(c, d, Ints4{2, 6, 3, 7});
    return __builtin_shuffle(ab, cd, Ints4{0, 1, 4, 5}) + __builtin_shuffle(ab, cd, Ints4{2, 3, 6, 7});
}

// Calls body(y, half, first, lanes, list) for each half row of the tile's
// pixels: its row, which half, its first pixel column, how many of its
// eight lanes lie inside the image, and the index of its list.
template <typename Body>
void forEachHalfRow(const PixelRange& pixels, Body&& body) {
    for (int y = pixels.y0; y < pixels.y1; ++y) {
        for (int half = 0; half * halfRow < pixels.x1 - pixels.x0; ++half) {
            const int first = pixels.x0 + half * halfRow;
            body(y, half, first, std::min(halfRow, pixels.x1 - first), (y - pixels.y0) * 2 + half);
        }
    }
}

// The pixel centres' x of half row `half` of a tile starting at x0.
inline __attribute__((always_inline)) Floats laneCentres(int x0, int half) {
    const Floats offsets = {0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f};
    return offsets + float(x0 + half * halfRow);
}

// The entries of one tile that reach each of its half rows, front to back.
// List h starts at h * stride, so one pass fills them all.
struct HalfRowLists {
    const uint32_t* data;
    uint32_t stride;
    uint32_t length[halfRows];
    const uint32_t* list(int half) const { return data + size_t(half) * stride; }
};

// The lists of a tile from its entries' half-row masks (bit h: half row h).
HalfRowLists expandLists(const uint32_t* masks, uint32_t count, std::vector<uint32_t>& buffer) {
    if (buffer.size() < size_t(count) * halfRows) buffer.resize(size_t(count) * halfRows);
    HalfRowLists lists{buffer.data(), count, {}};
    uint32_t* out = buffer.data();
    for (uint32_t k = 0; k < count; ++k) {
        for (uint32_t mask = masks[k]; mask != 0; mask &= mask - 1) {
            const int half = std::countr_zero(mask);
            out[size_t(half) * count + lists.length[half]++] = k;
        }
    }
    return lists;
}

// How many items ahead loops over scattered Gaussians fetch them.
constexpr uint32_t prefetchDistance = 8;

// How many tiles of a row halfRowMasks() takes at a time.
constexpr int maskColumns = 32;

inline int floorDivide(int value, int divisor) {
    return value / divisor - int(value % divisor < 0);
}

// floor() for the pixel columns near a tile, without a library call: the
// portable build has no rounding instruction. Far values are clamped first.
inline int floorToInt(float value) {
    value = std::clamp(value, -1e6f, 1e6f);
    const int truncated = int(value);
    return truncated - int(float(truncated) > value);
}

// What the pixel loops and the half-row lists need of a projected Gaussian.
// It shows where its alpha reaches the threshold, conic(dx, dy) <=
// 2 ln(opacity / threshold): an ellipse, taken here with a little slack so
// that no pixel the loops would accept is left out.
bool packSplat(const ProjectedGaussian& p, Rasterizer::TileSplat& s) {
    const float threshold = 2.0f * std::log(p.opacity / Rasterizer::minAlpha) * 1.001f + 1e-4f;
    const float determinant = p.conicA * p.conicC - p.conicB * p.conicB;
    if (!(threshold > 0) || !(p.conicA > 0) || !(determinant > 0)) return false;
    constexpr float log2e = 1.44269504f;
    s = {p.meanX, p.meanY, p.depth, p.conicA, p.conicB, p.conicC,
         -0.5f * log2e * p.conicA, -log2e * p.conicB, -0.5f * log2e * p.conicC, std::log2(p.opacity),
         1 / p.opacity, {p.colour[0], p.colour[1], p.colour[2]}, 0, 0, 0, 0, 0, 0, 0};
    // Row by row: dx within -slope·dy ± sqrt(reachSquared - dy²·spread).
    const float inverseA = 1 / p.conicA;
    s.reachSquared = threshold * inverseA;
    s.spread = determinant * inverseA * inverseA;
    s.slope = p.conicB * inverseA;
    const float halfWidth = std::sqrt(threshold * p.conicC / determinant) + 0.01f;
    const float halfHeight = std::sqrt(threshold * p.conicA / determinant) + 0.01f;
    s.x0 = floorToInt(p.meanX - 0.5f - halfWidth);
    s.x1 = floorToInt(p.meanX - 0.5f + halfWidth) + 1;
    s.y0 = floorToInt(p.meanY - 0.5f - halfHeight);
    s.y1 = floorToInt(p.meanY - 0.5f + halfHeight) + 1;
    return true;
}

// Which half rows of each of `columns` tiles in a row of tiles a Gaussian's
// footprint touches, as masks (bit 2·row + half); the first tile's pixels
// start at (x0, y0), and tiles are clipped to the image. On a row, the
// footprint is where (dx + slope·dy)² <= reachSquared - dy²·spread; a half
// row's pixel centres span an interval of dx, which the footprint meets
// where its point nearest to -slope·dy does. No square root, and all rows
// at once (the loops vectorise), the rows' terms shared by the tiles; the
// rows outside the footprint's box are masked.
__attribute__((target_clones("arch=x86-64-v3", "default"))) void halfRowMasks(const Rasterizer::TileSplat& s, int x0,
                                                                             int columns, int y0, int width,
                                                                             int height, uint32_t* masks) {
    constexpr int rows = Rasterizer::tileSize;
    const int y1 = std::min(height, y0 + rows);
    const int first = std::max(y0, s.y0) - y0, end = std::min(y1, s.y1) - y0;
    float centres[rows], rooms[rows];
    uint32_t inside[rows];
    for (int row = 0; row < rows; ++row) {
        const float dy = float(y0 + row) + 0.5f - s.meanY;
        centres[row] = -s.slope * dy;
        rooms[row] = s.reachSquared - dy * dy * s.spread;
        inside[row] = uint32_t(row >= first) & uint32_t(row < end);
    }
    for (int column = 0; column < columns; ++column, x0 += Rasterizer::tileSize) {
        const int x1 = std::min(width, x0 + Rasterizer::tileSize);
        const int middle = std::min(x1, x0 + halfRow);
        const int leftFrom = std::max(x0, s.x0), leftTo = std::min(middle, s.x1);
        const int rightFrom = std::max(middle, s.x0), rightTo = std::min(x1, s.x1);
        const uint32_t leftOpen = uint32_t(leftFrom < leftTo), rightOpen = uint32_t(rightFrom < rightTo);
        const float leftA = float(leftFrom) + 0.5f - s.meanX, leftB = float(leftTo) - 0.5f - s.meanX;
        const float rightA = float(rightFrom) + 0.5f - s.meanX, rightB = float(rightTo) - 0.5f - s.meanX;
        uint32_t bits[rows];
        for (int row = 0; row < rows; ++row) {
            const float centre = centres[row], room = rooms[row];
            const float left = std::min(std::max(centre, leftA), leftB) - centre;
            const float right = std::min(std::max(centre, rightA), rightB) - centre;
            const uint32_t leftHit = inside[row] & leftOpen & uint32_t(left * left <= room);
            const uint32_t rightHit = inside[row] & rightOpen & uint32_t(right * right <= room);
            bits[row] = (leftHit | (rightHit << 1)) << (2 * row);
        }
        uint32_t mask = 0;
        for (int row = 0; row < rows; ++row) mask |= bits[row];
        masks[column] = mask;
    }
}

// Pixels whose alpha exponent (base 2) is below this take nothing from a
// Gaussian: log2(Rasterizer::minAlpha).
constexpr float minAlphaExponent = -7.99435344f;

// The base-2 logarithm of a Gaussian's unclamped alpha at offsets (dx, dy)
// from its centre: a quadratic in dx whose coefficients depend on the row.
inline __attribute__((always_inline)) Floats alphaExponent(const Rasterizer::EntrySplat& s, const Floats& dx,
                                                           float dy) {
    const float linear = s.expB * dy, constant = s.expC * dy * dy + s.logOpacity;
    return (s.expA * dx + linear) * dx + constant;
}

// Both passes take a half row's list in batches: first the alphas of a batch
// (independent of each other, so the core overlaps them), then the chain
// that carries each pixel's transmittance from entry to entry.
constexpr uint32_t batch = 16;

// Composits a half row's list front to back with the pixels' state in
// registers; stops once every pixel is opaque. `last`: per pixel, the entries
// below it are those that may have been composited (an opaque pixel stops at
// the entry that would have made it so; lanes outside the image take none).
__attribute__((target_clones("arch=x86-64-v3", "default"))) void compositeHalfRow(
    const Rasterizer::EntrySplat* splats, const uint32_t* list, uint32_t length, uint32_t entries,
    const Floats& px, float py, const Ints& open, Floats (&colour)[3], Floats& transmittance, Ints& last) {
    Floats T = Floats{} + 1.0f, r{}, g{}, b{};
    Ints done = ~open;
    last = open & int32_t(entries);
    Floats alphas[batch];  // zero where a Gaussian does not reach
    for (uint32_t start = 0; start < length; start += batch) {
        const uint32_t count = std::min(batch, length - start);
        for (uint32_t j = 0; j < count; ++j) {
            const Rasterizer::EntrySplat& s = splats[list[start + j]];
            const Floats exponent = alphaExponent(s, px - s.meanX, py - s.meanY);
            const Floats raw = fastExp2(exponent);
            alphas[j] = masked(exponent >= minAlphaExponent, raw < Rasterizer::maxAlpha ? raw : Floats{} +
                                                                                              Rasterizer::maxAlpha);
        }
        for (uint32_t j = 0; j < count; ++j) {
            const uint32_t k = list[start + j];
            const Rasterizer::EntrySplat& s = splats[k];
            // Pixels still open keep T >= the minimum, so a Gaussian that
            // does not reach them (alpha 0) never stops them.
            const Floats taken = alphas[j] * T;
            const Ints stop = ~done & ((T - taken) < Rasterizer::minTransmittance);
            const Floats weight = masked(~(done | stop), taken);
            r += weight * s.colour[0];
            g += weight * s.colour[1];
            b += weight * s.colour[2];
            T -= weight;
            if (anyLane(stop)) {
                last = stop ? Ints{} + int32_t(k) : last;
                done |= stop;
                if (allLanes(done)) {
                    start = length;
                    break;
                }
            }
        }
    }
    colour[0] = r;
    colour[1] = g;
    colour[2] = b;
    transmittance = T;
}

// Undoes a half row's compositing back to front, from the deepest entry any
// of its pixels may have taken, and adds to each entry's sums. Along a row dy
// is fixed, so the shape's gradient needs only the sums of g, g·dx and g·dx²
// over the row's pixels (g: the gradient of the exponent, which is also the
// opacity's times the opacity), and over the rows those of g·dy, g·dy² and
// g·dx·dy. The colours matter to the gradient only through their product
// with the image gradient, so one sum stands for the colour behind.
__attribute__((target_clones("arch=x86-64-v3", "default"))) void uncompositeHalfRow(
    const Rasterizer::EntrySplat* splats, const uint32_t* list, uint32_t length, const Floats& px, float py,
    const Floats& transmittance, const Ints& last, const Floats (&imageGradient)[3], const Vec3& background,
    Rasterizer::GradientSums* accumulated) {
    int32_t deepest = 0;
    for (int lane = 0; lane < halfRow; ++lane) deepest = std::max(deepest, last[lane]);
    while (length > 0 && int32_t(list[length - 1]) >= deepest) --length;
    const Floats dR = imageGradient[0], dG = imageGradient[1], dB = imageGradient[2];
    const Floats sign = Floats(Ints{} + int32_t(0x80000000));
    Floats T = transmittance;
    Floats behind = background[0] * dR + background[1] * dG + background[2] * dB;
    // Per batch, the entries that reach a pixel they took and their alphas:
    // zero where not, negative where clamped (no gradient to the shape).
    Floats alphas[batch];
    uint32_t taken[batch];
    for (uint32_t end = length; end > 0;) {
        const uint32_t from = end > batch ? end - batch : 0;
        uint32_t count = 0;
        for (uint32_t i = end; i-- > from;) {
            const uint32_t k = list[i];
            const Rasterizer::EntrySplat& s = splats[k];
            const Floats exponent = alphaExponent(s, px - s.meanX, py - s.meanY);
            const Ints valid = (last > int32_t(k)) & (exponent >= minAlphaExponent);
            const Floats raw = fastExp2(exponent);
            alphas[count] = masked(valid, raw <= Rasterizer::maxAlpha ? raw : Floats{} - Rasterizer::maxAlpha);
            taken[count] = k;
            count += uint32_t(anyLane(valid));
        }
        end = from;
        for (uint32_t j = 0; j < count; ++j) {
            const uint32_t k = taken[j];
            const Rasterizer::EntrySplat& s = splats[k];
            const Floats alpha = Floats(Ints(alphas[j]) & ~Ints(sign));
            // Where the entry does not reach, alpha is 0 and nothing changes.
            const Floats before = T / (1 - alpha);
            T = before;
            // behind ← α·colour + (1 − α)·behind, as products with the gradient.
            const Floats ahead = s.colour[0] * dR + s.colour[1] * dG + s.colour[2] * dB - behind;
            behind += alpha * ahead;
            const Floats weight = alpha * before;
            const Floats gPower = masked(alphas[j] > 0, alpha * before * ahead);
            const Floats dx = px - s.meanX;
            const float dy = py - s.meanY;
            const Floats gPowerDx = gPower * dx;
            const Floats4 shape =
                laneSums(foldHalves(gPower), foldHalves(gPowerDx), foldHalves(gPowerDx * dx), foldHalves(weight * dR));
            const Floats4 colours = laneSums(foldHalves(weight * dG), foldHalves(weight * dB), Floats4{}, Floats4{});
            Floats4* to = reinterpret_cast<Floats4*>(accumulated[k].values);
            to[0] += shape;
            to[1] += colours;
            to[2] += __builtin_shuffle(shape, Ints4{0, 0, 1, 3}) * Floats4{dy, dy * dy, dy, 0};
        }
    }
}

// An entry's gradient from its accumulated sums: [Σg, Σg·dx, Σg·dx², red],
// [green, blue, 0, 0] and [Σg·dy, Σg·dy², Σg·dx·dy, 0].
ProjectedGradient entryGradient(const Rasterizer::TileSplat& s, const Rasterizer::GradientSums& sums) {
    const float* shape = sums.values;
    const float* colour = sums.values + 4;
    const float* rows = sums.values + 8;
    ProjectedGradient out;
    out.meanX = s.conicA * shape[1] + s.conicB * rows[0];
    out.meanY = s.conicC * rows[0] + s.conicB * shape[1];
    out.conicA = -0.5f * shape[2];
    out.conicB = -rows[2];
    out.conicC = -0.5f * rows[1];
    out.opacity = shape[0] * s.inverseOpacity;
    out.colour[0] = shape[3];
    out.colour[1] = colour[0];
    out.colour[2] = colour[1];
    return out;
}

}  // namespace

namespace {

// The drawn Gaussians are sorted once, by depth and then index, with a
// least-significant-digit radix sort of 64-bit items (depth bits << 32 |
// index) on the bits in which the depths differ, at most this many a pass.
constexpr int maxDigitBits = 12;
// Items a block of a sort pass takes at least: below that, waking the
// workers costs more than the pass.
constexpr size_t sortBlockItems = 8192;

inline uint32_t digitOf(uint64_t item, int shift, uint32_t mask) {
    return uint32_t(item >> (32 + shift)) & mask;
}

// Turns per-block digit counts (block-major) into where each block's items
// of each digit go: digit by digit, block by block, so equal digits keep
// their order.
void digitOffsets(uint32_t* counts, size_t blocks, uint32_t buckets) {
    uint32_t total = 0;
    for (uint32_t digit = 0; digit < buckets; ++digit) {
        for (size_t block = 0; block < blocks; ++block) {
            uint32_t& count = counts[block * buckets + digit];
            const uint32_t items = count;
            count = total;
            total += items;
        }
    }
}

}  // namespace

void Rasterizer::bin(const GaussianModel& model, const ViewCamera& camera, int shDegree) {
    const size_t count = model.size();
    tilesX_ = (camera.width + tileSize - 1) / tileSize;
    tilesY_ = (camera.height + tileSize - 1) / tileSize;
    centre_ = camera.centre();
    projected_.resize(count);
    rects_.resize(count);
    splats_.resize(count);
    depthOrder_.resize(count);
    depthOrderSpare_.resize(count);
    slotStart_.resize(count + 1);
    const size_t tiles = size_t(tilesX_) * size_t(tilesY_);
    // Projection in chunks by index, a few per worker. Each chunk lists its
    // drawn Gaussians' sort items in its own part of depthOrder_ and numbers
    // their entries' slots from 0; the chunks' totals place them later.
    const size_t chunkSize = std::max<size_t>(256, (count + pool_.size() * 8 - 1) / (pool_.size() * 8));
    const size_t chunks = (count + chunkSize - 1) / chunkSize;
    projectedChunks_.resize(chunks);
    pool_.parallelFor(chunks, 1, [&](size_t chunkBegin, size_t chunkEnd, unsigned) {
        for (size_t chunk = chunkBegin; chunk < chunkEnd; ++chunk) {
            ProjectedChunk& totals = projectedChunks_[chunk];
            totals = {0, 0, ~uint32_t(0), 0, 0};
            const size_t first = chunk * chunkSize, end = std::min(count, (chunk + 1) * chunkSize);
            GaussianProjection::projectBatch(model, first, end - first, camera, centre_, shDegree, &projected_[first]);
            for (size_t index = first; index < end; ++index) {
                slotStart_[index] = totals.slots;
                ProjectedGaussian& p = projected_[index];
                TileRect& rect = rects_[index];
                rect = {};
                TileSplat& s = splats_[index];
                if (p.radius <= 0 || !packSplat(p, s)) {
                    p.radius = 0;
                    continue;
                }
                // The tiles its footprint's pixels fall in.
                const int x0 = std::clamp(floorDivide(s.x0, tileSize), 0, tilesX_);
                const int x1 = std::clamp(floorDivide(s.x1 - 1, tileSize) + 1, 0, tilesX_);
                const int y0 = std::clamp(floorDivide(s.y0, tileSize), 0, tilesY_);
                const int y1 = std::clamp(floorDivide(s.y1 - 1, tileSize) + 1, 0, tilesY_);
                if (s.x0 >= s.x1 || s.y0 >= s.y1 || x0 >= x1 || y0 >= y1) {
                    p.radius = 0;
                    continue;
                }
                rect = {int16_t(x0), int16_t(y0), int16_t(x1), int16_t(y1)};
                // Depths are positive, so their bits order as unsigned integers.
                uint32_t depthBits;
                std::memcpy(&depthBits, &s.depth, sizeof depthBits);
                totals.nearestKey = std::min(totals.nearestKey, depthBits);
                totals.farthestKey = std::max(totals.farthestKey, depthBits);
                depthOrder_[first + totals.drawn++] = (uint64_t(depthBits) << 32) | uint64_t(index);
                totals.slots += uint32_t((x1 - x0) * (y1 - y0));
            }
        }
    });
    // The chunks' first slots and drawn Gaussians, and the depth bits that differ.
    uint32_t nearestKey = ~uint32_t(0), farthestKey = 0, slots = 0, drawn = 0;
    for (ProjectedChunk& totals : projectedChunks_) {
        nearestKey = std::min(nearestKey, totals.nearestKey);
        farthestKey = std::max(farthestKey, totals.farthestKey);
        totals.firstSlot = slots;
        slots += totals.slots;
        drawn += totals.drawn;
    }
    slotStart_[count] = slots;
    const int keyBits = drawn == 0 ? 0 : std::bit_width(nearestKey ^ farthestKey);
    const int passes = std::max(1, (keyBits + maxDigitBits - 1) / maxDigitBits);
    const int digitBits = (keyBits + passes - 1) / passes;
    const uint32_t buckets = uint32_t(1) << digitBits, digitMask = buckets - 1;
    const size_t blocks = std::clamp<size_t>(drawn / sortBlockItems, 1, std::min<size_t>(pool_.size(), chunks));
    digitCounts_.resize(blocks * buckets);

    // The first pass reads the chunks' lists, whole chunks a block, and
    // meanwhile moves their slot numbers to where the chunks start.
    const auto blockChunks = [&](size_t block) {
        return std::pair{block * chunks / blocks, (block + 1) * chunks / blocks};
    };
    pool_.parallelFor(blocks, 1, [&](size_t blockBegin, size_t blockEnd, unsigned) {
        for (size_t block = blockBegin; block < blockEnd; ++block) {
            uint32_t* counts = digitCounts_.data() + block * buckets;
            std::fill_n(counts, buckets, 0);
            const auto [chunkFrom, chunkTo] = blockChunks(block);
            for (size_t chunk = chunkFrom; chunk < chunkTo; ++chunk) {
                const ProjectedChunk& totals = projectedChunks_[chunk];
                const size_t first = chunk * chunkSize, end = std::min(count, (chunk + 1) * chunkSize);
                for (size_t index = first; index < end; ++index) slotStart_[index] += totals.firstSlot;
                for (size_t item = first; item < first + totals.drawn; ++item)
                    ++counts[digitOf(depthOrder_[item], 0, digitMask)];
            }
        }
    });
    digitOffsets(digitCounts_.data(), blocks, buckets);
    pool_.parallelFor(blocks, 1, [&](size_t blockBegin, size_t blockEnd, unsigned) {
        for (size_t block = blockBegin; block < blockEnd; ++block) {
            uint32_t* offsets = digitCounts_.data() + block * buckets;
            const auto [chunkFrom, chunkTo] = blockChunks(block);
            for (size_t chunk = chunkFrom; chunk < chunkTo; ++chunk) {
                const size_t first = chunk * chunkSize;
                for (size_t item = first; item < first + projectedChunks_[chunk].drawn; ++item)
                    depthOrderSpare_[offsets[digitOf(depthOrder_[item], 0, digitMask)]++] = depthOrder_[item];
            }
        }
    });
    // The other passes, on the packed list; a stable sort of items listed
    // by index leaves equal depths in index order.
    for (int pass = 1; pass < passes; ++pass) {
        depthOrder_.swap(depthOrderSpare_);
        const int shift = pass * digitBits;
        const auto blockItems = [&](size_t block) {
            return std::pair{block * drawn / blocks, (block + 1) * drawn / blocks};
        };
        pool_.parallelFor(blocks, 1, [&](size_t blockBegin, size_t blockEnd, unsigned) {
            for (size_t block = blockBegin; block < blockEnd; ++block) {
                uint32_t* counts = digitCounts_.data() + block * buckets;
                std::fill_n(counts, buckets, 0);
                const auto [from, to] = blockItems(block);
                for (size_t item = from; item < to; ++item) ++counts[digitOf(depthOrder_[item], shift, digitMask)];
            }
        });
        digitOffsets(digitCounts_.data(), blocks, buckets);
        pool_.parallelFor(blocks, 1, [&](size_t blockBegin, size_t blockEnd, unsigned) {
            for (size_t block = blockBegin; block < blockEnd; ++block) {
                uint32_t* offsets = digitCounts_.data() + block * buckets;
                const auto [from, to] = blockItems(block);
                for (size_t item = from; item < to; ++item)
                    depthOrderSpare_[offsets[digitOf(depthOrder_[item], shift, digitMask)]++] = depthOrder_[item];
            }
        });
    }
    depthOrder_.swap(depthOrderSpare_);
    const uint64_t* order = depthOrder_.data();

    // The tiles are filled in chunks of the depth order: each chunk counts
    // its entries per tile and later writes them at offsets of its own, so
    // no two workers touch one counter, and every tile's entries land front
    // to back.
    const size_t fillSize = std::max<size_t>(256, (drawn + pool_.size() * 8 - 1) / (pool_.size() * 8));
    const size_t fills = (drawn + fillSize - 1) / fillSize;
    chunkCursors_.resize(fills * tiles);
    pool_.parallelFor(fills, 1, [&](size_t fillBegin, size_t fillEnd, unsigned) {
        for (size_t fill = fillBegin; fill < fillEnd; ++fill) {
            uint32_t* counts = chunkCursors_.data() + fill * tiles;
            std::fill_n(counts, tiles, 0);
            const size_t end = std::min<size_t>(drawn, (fill + 1) * fillSize);
            for (size_t at = fill * fillSize; at < end; ++at) {
                if (at + prefetchDistance < end) __builtin_prefetch(&rects_[uint32_t(order[at + prefetchDistance])]);
                const TileRect& rect = rects_[uint32_t(order[at])];
                for (int ty = rect.y0; ty < rect.y1; ++ty)
                    for (int tx = rect.x0; tx < rect.x1; ++tx) ++counts[size_t(ty) * size_t(tilesX_) + size_t(tx)];
            }
        }
    });
    // Tile by tile, chunk by chunk: where each chunk's entries of a tile go.
    // Both sweeps read the counters in memory order.
    tileStart_.assign(tiles + 1, 0);
    for (size_t fill = 0; fill < fills; ++fill) {
        const uint32_t* counts = chunkCursors_.data() + fill * tiles;
        for (size_t tile = 0; tile < tiles; ++tile) tileStart_[tile + 1] += counts[tile];
    }
    for (size_t tile = 0; tile < tiles; ++tile) tileStart_[tile + 1] += tileStart_[tile];
    tileCursors_.assign(tileStart_.begin(), tileStart_.end() - 1);
    for (size_t fill = 0; fill < fills; ++fill) {
        uint32_t* cursors = chunkCursors_.data() + fill * tiles;
        for (size_t tile = 0; tile < tiles; ++tile) {
            const uint32_t entries = cursors[tile];
            cursors[tile] = tileCursors_[tile];
            tileCursors_[tile] += entries;
        }
    }
    const uint32_t total = tileStart_[tiles];
    // The tile passes take the longest lists first, so that no worker is
    // left with a heavy tile while the others idle at the end; ties in
    // tile order.
    tileKeys_.resize(tiles);
    for (size_t tile = 0; tile < tiles; ++tile)
        tileKeys_[tile] = (uint64_t(~(tileStart_[tile + 1] - tileStart_[tile])) << 32) | uint64_t(tile);
    std::sort(tileKeys_.begin(), tileKeys_.end());
    tileOrder_.resize(tiles);
    for (size_t at = 0; at < tiles; ++at) tileOrder_[at] = uint32_t(tileKeys_[at]);
    scratch_.resize(pool_.size());
    entries_.resize(total);
    entrySplats_.resize(total);
    entryRows_.resize(total);
    entryOfSlot_.resize(total);
    // Each Gaussian packed into the tiles of its rectangle, row by row: read
    // once, in depth order. Its slots list its entries in the same order,
    // where the backward pass gathers them.
    pool_.parallelFor(fills, 1, [&](size_t fillBegin, size_t fillEnd, unsigned) {
        for (size_t fill = fillBegin; fill < fillEnd; ++fill) {
            uint32_t* cursors = chunkCursors_.data() + fill * tiles;
            const size_t end = std::min<size_t>(drawn, (fill + 1) * fillSize);
            for (size_t at = fill * fillSize; at < end; ++at) {
                // The Gaussians come in depth order, scattered over memory:
                // fetch a few ahead.
                if (at + 2 * prefetchDistance < end) {
                    const uint32_t ahead = uint32_t(order[at + 2 * prefetchDistance]);
                    __builtin_prefetch(&splats_[ahead]);
                    __builtin_prefetch(reinterpret_cast<const char*>(&splats_[ahead]) + sizeof(TileSplat) - 1);
                    __builtin_prefetch(&rects_[ahead]);
                    __builtin_prefetch(&slotStart_[ahead]);
                }
                // And the lines its entries will be written to.
                if (at + prefetchDistance < end) {
                    const uint32_t ahead = uint32_t(order[at + prefetchDistance]);
                    __builtin_prefetch(&entryOfSlot_[slotStart_[ahead]], 1);
                    const TileRect& rect = rects_[ahead];
                    for (int ty = rect.y0; ty < rect.y1; ++ty)
                        for (int tx = rect.x0; tx < rect.x1; ++tx) {
                            const uint32_t next = cursors[size_t(ty) * size_t(tilesX_) + size_t(tx)];
                            __builtin_prefetch(&entrySplats_[next], 1);
                            __builtin_prefetch(reinterpret_cast<const char*>(&entrySplats_[next]) + sizeof(EntrySplat) - 1, 1);
                        }
                }
                const uint32_t index = uint32_t(order[at]);
                const TileSplat& s = splats_[index];
                const EntrySplat packed = {s.meanX, s.meanY, s.expA, s.expB, s.expC, s.logOpacity,
                                           {s.colour[0], s.colour[1], s.colour[2]}};
                const TileRect& rect = rects_[index];
                uint32_t* slot = entryOfSlot_.data() + slotStart_[index];
                for (int ty = rect.y0; ty < rect.y1; ++ty) {
                    for (int tx = rect.x0; tx < rect.x1; tx += maskColumns) {
                        const int columns = std::min(maskColumns, rect.x1 - tx);
                        uint32_t masks[maskColumns];
                        halfRowMasks(s, tx * tileSize, columns, ty * tileSize, camera.width, camera.height, masks);
                        uint32_t* tileCursors = cursors + size_t(ty) * size_t(tilesX_) + size_t(tx);
                        for (int column = 0; column < columns; ++column) {
                            const uint32_t entry = tileCursors[column]++;
                            entries_[entry] = index;
                            entrySplats_[entry] = packed;
                            entryRows_[entry] = masks[column];
                            *slot++ = entry;
                        }
                    }
                }
            }
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
    pool_.parallelFor(tileOrder_.size(), 1, [&](size_t begin, size_t end, unsigned worker) {
        for (size_t at = begin; at < end; ++at)
            renderTile(int(tileOrder_[at]), camera, background, image.data(), scratch_[worker]);
    });
}

void Rasterizer::renderTile(int tile, const ViewCamera& camera, const Vec3& background, float* image,
                            TileScratch& scratch) {
    const PixelRange pixels = tileRange(tile, tilesX_, camera);
    const uint32_t begin = tileStart_[tile], count = tileStart_[tile + 1] - begin;
    const EntrySplat* splats = entrySplats_.data() + begin;
    const HalfRowLists lists = expandLists(entryRows_.data() + begin, count, scratch.lists);
    forEachHalfRow(pixels, [&](int y, int half, int first, int lanes, int list) {
        Ints open{};
        for (int lane = 0; lane < lanes; ++lane) open[lane] = -1;
        Floats colour[3], T;
        Ints last;
        compositeHalfRow(splats, lists.list(list), lists.length[list], count, laneCentres(pixels.x0, half),
                         float(y) + 0.5f, open, colour, T, last);
        for (int lane = 0; lane < lanes; ++lane) {
            const size_t pixel = size_t(y) * size_t(camera.width) + size_t(first + lane);
            for (int c = 0; c < 3; ++c) image[pixel * 3 + c] = colour[c][lane] + T[lane] * background[c];
            finalTransmittance_[pixel] = T[lane];
            lastEntry_[pixel] = uint32_t(last[lane]);
        }
    });
}

void Rasterizer::backward(const GaussianModel& model, const ViewCamera& camera, int shDegree, const Vec3& background,
                          const std::vector<float>& imageGradient, GaussianModel& gradients,
                          std::vector<float>& meanGradientNorms) {
    const size_t count = model.size();
    if (gradients.size() != count) gradients.resize(count);
    entryGradients_.resize(entries_.size());
    scratch_.resize(pool_.size());
    pool_.parallelFor(tileOrder_.size(), 1, [&](size_t begin, size_t end, unsigned worker) {
        for (size_t at = begin; at < end; ++at)
            backwardTile(int(tileOrder_[at]), camera, background, imageGradient.data(), scratch_[worker]);
    });

    meanGradientNorms.resize(count);
    pool_.parallelFor(count, 512, [&](size_t begin, size_t end, unsigned) {
        // The Gaussians drawn, gathered a batch at a time.
        size_t batch[GaussianProjection::batchSize];
        ProjectedGradient sums[GaussianProjection::batchSize];
        float norms[GaussianProjection::batchSize];
        size_t batched = 0;
        const auto flush = [&] {
            GaussianProjection::backwardBatch(model, batch, batched, camera, centre_, shDegree, sums, gradients, norms);
            for (size_t k = 0; k < batched; ++k) meanGradientNorms[batch[k]] = norms[k];
            batched = 0;
        };
        for (size_t index = begin; index < end; ++index) {
            meanGradientNorms[index] = 0;
            // Higher colour coefficients are never written at this degree
            // and stay zero.
            gradients.setZero(index, shDegree);
            if (projected_[index].radius <= 0) continue;
            // Gathered in tile order, so the sums do not depend on the threads.
            if (index + prefetchDistance < end)
                for (uint32_t slot = slotStart_[index + prefetchDistance];
                     slot < slotStart_[index + prefetchDistance + 1]; ++slot)
                    __builtin_prefetch(&entryGradients_[entryOfSlot_[slot]]);
            ProjectedGradient& sum = sums[batched] = {};
            for (uint32_t slot = slotStart_[index]; slot < slotStart_[index + 1]; ++slot) {
                const ProjectedGradient& from = entryGradients_[entryOfSlot_[slot]];
                sum.meanX += from.meanX;
                sum.meanY += from.meanY;
                sum.conicA += from.conicA;
                sum.conicB += from.conicB;
                sum.conicC += from.conicC;
                sum.opacity += from.opacity;
                for (int c = 0; c < 3; ++c) sum.colour[c] += from.colour[c];
            }
            batch[batched++] = index;
            if (batched == GaussianProjection::batchSize) flush();
        }
        if (batched > 0) flush();
    });
}

void Rasterizer::backwardTile(int tile, const ViewCamera& camera, const Vec3& background, const float* imageGradient,
                              TileScratch& scratch) {
    const PixelRange pixels = tileRange(tile, tilesX_, camera);
    const uint32_t begin = tileStart_[tile], count = tileStart_[tile + 1] - begin;
    const EntrySplat* splats = entrySplats_.data() + begin;
    const HalfRowLists lists = expandLists(entryRows_.data() + begin, count, scratch.lists);
    if (scratch.sums.size() < count) scratch.sums.resize(count);
    GradientSums* sums = scratch.sums.data();
    std::fill_n(sums, count, GradientSums{});
    forEachHalfRow(pixels, [&](int y, int half, int first, int lanes, int list) {
        // Lanes outside the image take no entry and pass no gradient.
        Floats T = Floats{} + 1.0f, d[3] = {};
        Ints last{};
        for (int lane = 0; lane < lanes; ++lane) {
            const size_t pixel = size_t(y) * size_t(camera.width) + size_t(first + lane);
            T[lane] = finalTransmittance_[pixel];
            last[lane] = int32_t(lastEntry_[pixel]);
            for (int c = 0; c < 3; ++c) d[c][lane] = imageGradient[pixel * 3 + c];
        }
        uncompositeHalfRow(splats, lists.list(list), lists.length[list], laneCentres(pixels.x0, half),
                           float(y) + 0.5f, T, last, d, background, sums);
    });
    for (uint32_t k = 0; k < count; ++k) {
        if (k + prefetchDistance < count) __builtin_prefetch(&splats_[entries_[begin + k + prefetchDistance]]);
        entryGradients_[begin + k] = entryGradient(splats_[entries_[begin + k]], sums[k]);
    }
}

}  // namespace tessaron::trainer
