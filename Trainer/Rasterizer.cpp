#include "Trainer/Rasterizer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include <emmintrin.h>

#include "Trainer/Lanes.hpp"
#include "Trainer/TargetClones.hpp"
#include "Trainer/Tuning.hpp"

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
    const Floats4 ab = __builtin_shufflevector(a, b, 0, 4, 1, 5) + __builtin_shufflevector(a, b, 2, 6, 3, 7);
    const Floats4 cd = __builtin_shufflevector(c, d, 0, 4, 1, 5) + __builtin_shufflevector(c, d, 2, 6, 3, 7);
    return __builtin_shufflevector(ab, cd, 0, 1, 4, 5) + __builtin_shufflevector(ab, cd, 2, 3, 6, 7);
}

// Calls body(y, half, first, lanes, h) for each half row of the tile's
// pixels: its row, which half, its first pixel column, how many of its
// eight lanes lie inside the image, and its number within the tile (its bit
// in an entry's row mask).
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

// Bit h of a tile entry's row mask stands for half row h: row h / 2, half
// h % 2. The half rows of the left half are the even bits.
constexpr uint32_t leftHalfRows = 0x55555555u;

// Per half row of a tile starting at row y0, the y of its pixel centres.
struct RowCentres {
    float y[halfRows];
    explicit RowCentres(int y0) {
        for (int h = 0; h < halfRows; ++h) y[h] = float(y0 + h / 2) + 0.5f;
    }
    float operator[](int h) const { return y[h]; }
};

using tuning::maskColumns;
using tuning::prefetchDistance;

inline int floorDivide(int value, int divisor) {
    return value / divisor - int(value % divisor < 0);
}

// Pixels whose alpha exponent (base 2) is below this take nothing from a
// Gaussian: log2(Rasterizer::minAlpha).
constexpr float minAlphaExponent = -7.99435344f;

// The packing moves Gaussians between rows in memory and lanes: the
// floats of a ProjectedGaussian (see projectedField) and of a TileSplat, by
// name in the order of their memory, which the checks below hold the
// structure to.
namespace splatField {
enum Field : int {
    meanX, meanY, expA, expB, expC, logOpacity, red, green, blue, rowStep,  // the EntrySplat
    x0, x1, y0, y1, reachSquared, spread,
    fieldCount
};
}
using TileSplat = Rasterizer::TileSplat;
static_assert(sizeof(TileSplat) == splatField::fieldCount * sizeof(float));
static_assert(offsetof(TileSplat, entry) == 0 && sizeof(Rasterizer::EntrySplat) == splatField::x0 * sizeof(float) &&
              offsetof(Rasterizer::EntrySplat, meanX) == splatField::meanX * sizeof(float) &&
              offsetof(Rasterizer::EntrySplat, meanY) == splatField::meanY * sizeof(float) &&
              offsetof(Rasterizer::EntrySplat, expA) == splatField::expA * sizeof(float) &&
              offsetof(Rasterizer::EntrySplat, expB) == splatField::expB * sizeof(float) &&
              offsetof(Rasterizer::EntrySplat, expC) == splatField::expC * sizeof(float) &&
              offsetof(Rasterizer::EntrySplat, logOpacity) == splatField::logOpacity * sizeof(float) &&
              offsetof(Rasterizer::EntrySplat, colour) == splatField::red * sizeof(float) &&
              splatField::blue == splatField::red + 2 &&
              offsetof(Rasterizer::EntrySplat, rowStep) == splatField::rowStep * sizeof(float) &&
              offsetof(TileSplat, x0) == splatField::x0 * sizeof(float) &&
              offsetof(TileSplat, x1) == splatField::x1 * sizeof(float) &&
              offsetof(TileSplat, y0) == splatField::y0 * sizeof(float) &&
              offsetof(TileSplat, y1) == splatField::y1 * sizeof(float) &&
              offsetof(TileSplat, reachSquared) == splatField::reachSquared * sizeof(float) &&
              offsetof(TileSplat, spread) == splatField::spread * sizeof(float));

// What the pixel loops and the half-row masks need of eight projected
// Gaussians in lanes: the fields of ProjectedGaussian in, those of
// TileSplat out. The footprint shows where a Gaussian's alpha
// reaches the threshold, conic(dx, dy) <= 2 ln(opacity / threshold): an
// ellipse, taken here with a little slack so that no pixel the loops would
// accept is left out. Gaussians not drawn (none in view, transparent, or
// an ellipse that is none) get an empty box: x1 = x0.
inline __attribute__((always_inline)) void packSplats(const Floats (&p)[projectedField::fieldCount],
                                                      Floats (&s)[splatField::fieldCount]) {
    const Floats meanX = p[projectedField::meanX], meanY = p[projectedField::meanY];
    const Floats conicA = p[projectedField::conicA], conicB = p[projectedField::conicB];
    const Floats conicC = p[projectedField::conicC];
    const Floats opacity = p[projectedField::opacity];
    // 2 ln(opacity / threshold) from the opacity's base-2 logarithm, which
    // the pixel loops need anyway.
    constexpr float ln2 = 0.693147181f, log2e = 1.44269504f;
    const Floats logOpacity = lanes::logarithm2(opacity);
    const Floats threshold = 2.0f * ln2 * (logOpacity - minAlphaExponent) * 1.001f + 1e-4f;
    const Floats determinant = conicA * conicC - conicB * conicB;
    const Floats halfWidth = lanes::squareRoot(threshold * conicC / determinant) + 0.01f;
    const Floats halfHeight = lanes::squareRoot(threshold * conicA / determinant) + 0.01f;
    const Floats box[4] = {meanX - 0.5f - halfWidth, meanX - 0.5f + halfWidth, meanY - 0.5f - halfHeight,
                           meanY - 0.5f + halfHeight};
    Ints drawn = (p[projectedField::radius] > 0) & (opacity > 0) & (threshold > 0) & (conicA > 0) & (determinant > 0);
    for (const Floats& bound : box) drawn &= lanes::isFinite(bound);
    // The pixels [x0, x1) x [y0, y1) around the footprint.
    Ints pixels[4];
    for (int k = 0; k < 4; ++k)
        pixels[k] = lanes::floorToInts(masked(drawn, lanes::clampTo(box[k], -1e6f, 1e6f))) + (k % 2);
    pixels[1] = (drawn & pixels[1]) | (~drawn & pixels[0]);
    // Row by row: dx within -slope·dy ± sqrt(reachSquared - dy²·spread).
    const Floats inverseA = 1.0f / conicA;
    const Floats expC = -0.5f * log2e * conicC;
    s[splatField::meanX] = meanX;
    s[splatField::meanY] = meanY;
    s[splatField::expA] = -0.5f * log2e * conicA;
    s[splatField::expB] = -log2e * conicB;
    s[splatField::expC] = expC;
    s[splatField::logOpacity] = logOpacity;
    s[splatField::red] = p[projectedField::red];
    s[splatField::green] = p[projectedField::green];
    s[splatField::blue] = p[projectedField::blue];
    s[splatField::rowStep] = lanes::exponential(2.0f * ln2 * expC);
    s[splatField::x0] = Floats(pixels[0]);
    s[splatField::x1] = Floats(pixels[1]);
    s[splatField::y0] = Floats(pixels[2]);
    s[splatField::y1] = Floats(pixels[3]);
    s[splatField::reachSquared] = threshold * inverseA;
    s[splatField::spread] = determinant * inverseA * inverseA;
}

// Packs `count` projected Gaussians eight at a time; lanes beyond the last
// Gaussian repeat it and write to scratch, so every Gaussian is packed the
// same way wherever a chunk of them starts.
TESSARON_AVX2_CLONES_FLATTENED void packInBatches(
    const ProjectedGaussian* projected, size_t count, Rasterizer::TileSplat* out) {
    Rasterizer::TileSplat scratch;
    for (size_t done = 0; done < count; done += lanes::width) {
        const int used = int(std::min<size_t>(lanes::width, count - done));
        const void* from[lanes::width];
        void* to[lanes::width];
        for (int lane = 0; lane < lanes::width; ++lane) {
            from[lane] = &projected[done + size_t(std::min(lane, used - 1))];
            to[lane] = lane < used ? &out[done + size_t(lane)] : &scratch;
        }
        Floats fields[projectedField::fieldCount], splats[splatField::fieldCount];
        lanes::rowsToColumns(from, projectedField::fieldCount, fields);
        packSplats(fields, splats);
        lanes::columnsToRows<false>(splats, splatField::fieldCount, to);
    }
}

// Which half rows of each of `columns` tiles in a row of tiles a Gaussian's
// footprint touches, as masks (bit 2·row + half); the first tile's pixels
// start at (x0, y0), and tiles are clipped to the image. On a row, the
// footprint is where (dx + slope·dy)² <= reachSquared - dy²·spread; a half
// row's pixel centres span an interval of dx, which the footprint meets
// where its point nearest to -slope·dy does. No square root, and the tile's
// sixteen rows in the lanes of two vectors, their terms shared by the tiles;
// the rows outside the footprint's box are masked.
TESSARON_AVX2_CLONES void halfRowMasks(const Rasterizer::TileSplat& s, int x0,
                                                                             int columns, int y0, int width,
                                                                             int height, uint32_t* masks) {
    const int y1 = std::min(height, y0 + Rasterizer::tileSize);
    const int first = std::max(y0, s.y0) - y0, end = std::min(y1, s.y1) - y0;
    const Ints upperRows = {0, 1, 2, 3, 4, 5, 6, 7}, lowerRows = upperRows + halfRow;
    const Floats upperDy = (__builtin_convertvector(upperRows + y0, Floats) + 0.5f) - s.entry.meanY;
    const Floats lowerDy = (__builtin_convertvector(lowerRows + y0, Floats) + 0.5f) - s.entry.meanY;
    const float slope = s.entry.expB / (2 * s.entry.expA);
    const Floats upperCentres = -slope * upperDy, lowerCentres = -slope * lowerDy;
    const Floats upperRooms = s.reachSquared - upperDy * upperDy * s.spread;
    const Floats lowerRooms = s.reachSquared - lowerDy * lowerDy * s.spread;
    // Each row's bit for its left half where the row is inside the box;
    // the right half's is the next one up.
    const Ints upperBits = ((upperRows >= first) & (upperRows < end)) & ((Ints{} + 1) << (2 * upperRows));
    const Ints lowerBits = ((lowerRows >= first) & (lowerRows < end)) & ((Ints{} + 1) << (2 * lowerRows));
    // Whether the point of [a, b] nearest to each row's centre lies within
    // its room: std::min(std::max(centre, a), b), lane by lane.
    const auto reaches = [](Floats centres, Floats rooms, float a, float b) __attribute__((always_inline)) {
        const Floats atLeast = centres < a ? Floats{} + a : centres;
        const Floats offsets = (b < atLeast ? Floats{} + b : atLeast) - centres;
        return offsets * offsets <= rooms;
    };
    for (int column = 0; column < columns; ++column, x0 += Rasterizer::tileSize) {
        const int x1 = std::min(width, x0 + Rasterizer::tileSize);
        const int middle = std::min(x1, x0 + halfRow);
        const int leftFrom = std::max(x0, s.x0), leftTo = std::min(middle, s.x1);
        const int rightFrom = std::max(middle, s.x0), rightTo = std::min(x1, s.x1);
        const float leftA = float(leftFrom) + 0.5f - s.entry.meanX, leftB = float(leftTo) - 0.5f - s.entry.meanX;
        const float rightA = float(rightFrom) + 0.5f - s.entry.meanX, rightB = float(rightTo) - 0.5f - s.entry.meanX;
        Ints bits{};
        if (leftFrom < leftTo)
            bits = (reaches(upperCentres, upperRooms, leftA, leftB) & upperBits) |
                   (reaches(lowerCentres, lowerRooms, leftA, leftB) & lowerBits);
        if (rightFrom < rightTo)
            bits |= (reaches(upperCentres, upperRooms, rightA, rightB) & (upperBits << 1)) |
                    (reaches(lowerCentres, lowerRooms, rightA, rightB) & (lowerBits << 1));
        Ints4 halves[2];
        std::memcpy(halves, &bits, sizeof bits);
        Ints4 folded = halves[0] | halves[1];
        folded |= __builtin_shufflevector(folded, folded, 2, 3, 0, 1);
        folded |= __builtin_shufflevector(folded, folded, 1, 0, 3, 2);
        masks[column] = uint32_t(folded[0]);
    }
}


// The base-2 logarithm of a Gaussian's unclamped alpha at offsets (dx, dy)
// from its centre: a quadratic in dx whose coefficients depend on the row.
inline __attribute__((always_inline)) Floats alphaExponent(const Rasterizer::EntrySplat& s, const Floats& dx,
                                                           float dy) {
    const float linear = s.expB * dy, constant = s.expC * dy * dy + s.logOpacity;
    return (s.expA * dx + linear) * dx + constant;
}

// Below this base-2 exponent an alpha may leave the float range on the way
// (see forEachAlpha).
constexpr float tameExponent = -100.0f;

// Calls body(h, raw, reaches) for each half row h of `hit` in half `half`
// (offsets `dx` from the centre): raw, the Gaussian's alpha before
// clamping, reaches, the lanes where it reaches the threshold. `rows`: all
// the entry's half rows, of which `hit` is part.
// Down a column of pixels the alpha's exponent is a quadratic in dy, so
// from one row to the next the alpha is multiplied by a ratio that is
// itself multiplied by rowStep each row: two multiplies a row instead of an
// exponential. That holds only while every value stays a normal float: the
// exponent is concave in dy, so where it is tame at the half's first and
// last rows it is tame between them, and the ratios are bounded by the
// differences of tame exponents. Other entries, and short ones, take an
// exponential per row. Which way an entry's alphas are computed depends
// only on the entry, so the forward and backward passes get the same ones.
template <typename Body>
inline __attribute__((always_inline)) void forEachAlpha(const Rasterizer::EntrySplat& s, uint32_t rows,
                                                        uint32_t hit, int half, const Floats& dx,
                                                        const RowCentres& rowCentres, Body&& body) {
    const uint32_t mine = rows & (leftHalfRows << half);
    hit &= mine;
    if (hit == 0) return;
    const int first = std::countr_zero(mine), last = 31 - std::countl_zero(mine);
    if (last - first >= 2 * (tuning::minSteppedRows - 1)) {
        const float dyFirst = rowCentres[first] - s.meanY;
        const Floats firstExponent = alphaExponent(s, dx, dyFirst);
        const Floats lastExponent = alphaExponent(s, dx, rowCentres[last] - s.meanY);
        if (allLanes((firstExponent >= tameExponent) & (lastExponent >= tameExponent))) {
            Floats value = lanes::fastExp2(firstExponent);
            Floats ratio = lanes::fastExp2(s.expC * (2 * dyFirst + 1) + s.expB * dx);
            const int lastHit = 31 - std::countl_zero(hit);
            for (int h = first;; h += 2) {
                if ((hit >> h) & 1) body(h, value, value >= Rasterizer::minAlpha);
                if (h == lastHit) return;
                value *= ratio;
                ratio *= s.rowStep;
            }
        }
    }
    for (uint32_t m = hit; m != 0; m &= m - 1) {
        const int h = std::countr_zero(m);
        const Floats exponent = alphaExponent(s, dx, rowCentres[h] - s.meanY);
        body(h, lanes::fastExp2(exponent), exponent >= minAlphaExponent);
    }
}

inline __attribute__((always_inline)) Floats clampedAlpha(Floats raw) {
    return raw < Rasterizer::maxAlpha ? raw : Floats{} + Rasterizer::maxAlpha;
}

// A tile's pixels while it is composited: per half row, colour,
// transmittance, which lanes are finished and where each pixel stopped.
struct ForwardPixels {
    Floats colour[3][halfRows];
    Floats transmittance[halfRows];
    Ints done[halfRows];
    Ints last[halfRows];
};

// Composits a tile's entries front to back, each over only the half rows
// its footprint reaches: the half rows of one entry are independent of each
// other, so the core overlaps them, and the entry's values are read once.
// A half row drops out once all its pixels are opaque (`open`: the half rows
// still open), the tile once all have. An opaque pixel's `last` is the entry
// that would have made it so; open pixels keep the tile's entry count.
TESSARON_AVX2_CLONES void compositeTile(
    const Rasterizer::EntrySplat* splats, const uint32_t* rows, uint32_t count, int x0, int y0, uint32_t open,
    ForwardPixels& pixels) {
    const RowCentres rowCentres(y0);
    for (uint32_t k = 0; k < count && open != 0; ++k) {
        const uint32_t hit = rows[k] & open;
        if (hit == 0) continue;
        const Rasterizer::EntrySplat& s = splats[k];
        for (int half = 0; half < 2; ++half) {
            const Floats dx = laneCentres(x0, half) - s.meanX;
            forEachAlpha(s, rows[k], hit, half, dx, rowCentres, [&](int h, Floats raw, Ints reaches) __attribute__((always_inline)) {
                // Pixels still open keep T >= the minimum, so a Gaussian that
                // does not reach them (alpha 0) never stops them.
                const Floats T = pixels.transmittance[h];
                const Ints done = pixels.done[h];
                const Floats taken = masked(reaches, clampedAlpha(raw)) * T;
                const Ints stop = ~done & ((T - taken) < Rasterizer::minTransmittance);
                const Floats weight = masked(~(done | stop), taken);
                for (int c = 0; c < 3; ++c) pixels.colour[c][h] += weight * s.colour[c];
                pixels.transmittance[h] = T - weight;
                if (anyLane(stop)) {
                    pixels.last[h] = stop ? Ints{} + int32_t(k) : pixels.last[h];
                    pixels.done[h] = done | stop;
                    if (allLanes(done | stop)) open &= ~(1u << h);
                }
            });
        }
    }
}

// A tile's pixels while its compositing is undone: per half row, the
// transmittance in front of the current entry, the colour behind it (as its
// product with the image gradient), the image gradient and each pixel's
// `last` from the forward pass (lanes outside the image: T 1, gradient 0,
// last 0).
struct BackwardPixels {
    Floats transmittance[halfRows];
    Floats behind[halfRows];
    Floats gradient[3][halfRows];
    Ints last[halfRows];
};

// Writes an entry's sums past the caches: the tile passes write them in
// order, the gather reads them in no order on every core, so the lines are
// seldom in the writer's cache, and fetching each before writing it (from
// another core's cache, as often as not) would cost more than the writing.
// Readers on other threads need a fence after the writes (see backwardTile).
// The sums: `first`'s four values, `second`'s, then `last`.
inline __attribute__((always_inline)) void streamSums(Floats4 first, Floats4 second, float last,
                                                      Rasterizer::GradientSums& sums) {
    const auto stream = [](float value, float& to) {
        _mm_stream_si32(reinterpret_cast<int*>(&to), std::bit_cast<int>(value));
    };
    for (int v = 0; v < 4; ++v) {
        stream(first[v], sums.values[v]);
        stream(second[v], sums.values[4 + v]);
    }
    stream(last, sums.values[8]);
}

// Undoes a tile's compositing back to front, from the deepest entry any
// pixel may have taken, each entry over the half rows it reaches, and writes
// each entry's sums. Within a row dy is fixed, and along a half row dx is the
// same on every row, so the shape's gradient needs only the sums of g and
// g·dy per half and of g·dy² (g: the gradient of the exponent, which is
// also the opacity's times the opacity); those of g·dx, g·dx² and g·dx·dy
// follow from them. The colours matter to the gradient only through their product
// with the image gradient, so one value stands for the colour behind.
// `reach`: per half row, the largest `last` of its pixels.
TESSARON_AVX2_CLONES void uncompositeTile(
    const Rasterizer::EntrySplat* splats, const uint32_t* rows, int x0, int y0, const uint32_t (&reach)[halfRows],
    BackwardPixels& pixels, Rasterizer::GradientSums* sums) {
    const RowCentres rowCentres(y0);
    // The half rows in order of reach: going back to front, each joins once
    // the entries reach below its deepest pixel.
    int order[halfRows];
    for (int h = 0; h < halfRows; ++h) {
        int at = h;
        for (; at > 0 && reach[order[at - 1]] < reach[h]; --at) order[at] = order[at - 1];
        order[at] = h;
    }
    uint32_t active = 0;
    int joined = 0;
    for (uint32_t k = reach[order[0]]; k-- > 0;) {
        while (joined < halfRows && reach[order[joined]] > k) active |= 1u << order[joined++];
        const uint32_t hit = rows[k] & active;
        if (hit == 0) {
            streamSums(Floats4{}, Floats4{}, 0, sums[k]);
            continue;
        }
        const Rasterizer::EntrySplat& s = splats[k];
        Floats g{}, gDx{}, gDx2{}, gDy{}, gDy2{}, gDxDy{}, red{}, green{}, blue{};
        for (int half = 0; half < 2; ++half) {
            const Floats dx = laneCentres(x0, half) - s.meanX;
            Floats gHalf{}, gDyHalf{};
            forEachAlpha(s, rows[k], hit, half, dx, rowCentres, [&](int h, Floats raw, Ints reaches) __attribute__((always_inline)) {
                const Ints valid = (pixels.last[h] > int32_t(k)) & reaches;
                const Floats alpha = masked(valid, clampedAlpha(raw));
                // Clamped alphas pass no gradient to the shape.
                const Ints shaped = valid & (raw <= Rasterizer::maxAlpha);
                const float dy = rowCentres[h] - s.meanY;
                // Where the entry does not reach, alpha is 0 and nothing changes.
                const Floats before = pixels.transmittance[h] / (1 - alpha);
                pixels.transmittance[h] = before;
                const Floats dR = pixels.gradient[0][h], dG = pixels.gradient[1][h], dB = pixels.gradient[2][h];
                // behind ← α·colour + (1 − α)·behind, as products with the gradient.
                const Floats ahead = s.colour[0] * dR + s.colour[1] * dG + s.colour[2] * dB - pixels.behind[h];
                pixels.behind[h] += alpha * ahead;
                const Floats weight = alpha * before;
                const Floats gPower = masked(shaped, weight * ahead);
                gHalf += gPower;
                gDyHalf += gPower * dy;
                gDy2 += gPower * (dy * dy);
                red += weight * dR;
                green += weight * dG;
                blue += weight * dB;
            });
            g += gHalf;
            gDx += gHalf * dx;
            gDx2 += gHalf * dx * dx;
            gDy += gDyHalf;
            gDxDy += gDyHalf * dx;
        }
        const Floats4 first = laneSums(foldHalves(g), foldHalves(gDx), foldHalves(gDx2), foldHalves(red));
        const Floats4 second = laneSums(foldHalves(green), foldHalves(blue), foldHalves(gDy), foldHalves(gDy2));
        const Floats4 gDxDy4 = foldHalves(gDxDy);
        streamSums(first, second, (gDxDy4[0] + gDxDy4[1]) + (gDxDy4[2] + gDxDy4[3]), sums[k]);
    }
}

// A Gaussian's gradient from the sums of its entries (see GradientSums):
// linear in them, so summed over a Gaussian's entries first.
ProjectedGradient projectedGradient(const ProjectedGaussian& p, const Rasterizer::GradientSums& sums) {
    const float* v = sums.values;
    ProjectedGradient out;
    out.meanX = p.conicA * v[1] + p.conicB * v[6];
    out.meanY = p.conicC * v[6] + p.conicB * v[1];
    out.conicA = -0.5f * v[2];
    out.conicB = -v[8];
    out.conicC = -0.5f * v[7];
    out.opacity = v[0] * (1 / p.opacity);
    out.colour[0] = v[3];
    out.colour[1] = v[4];
    out.colour[2] = v[5];
    return out;
}

// Items a chunk of a parallel loop takes to make about `chunks` of them,
// but not so few that handing a chunk out costs more than its work.
size_t chunkSizeFor(size_t items, size_t chunks) {
    return std::max<size_t>(tuning::minChunkItems, (items + chunks - 1) / chunks);
}

// The drawn Gaussians are sorted once, by depth and then index, with a
// least-significant-digit radix sort of 64-bit items (depth bits << 32 |
// index) on the bits in which the depths differ, at most
// tuning::maxDigitBits a pass.

inline uint32_t digitOf(uint64_t item, int shift, uint32_t mask) {
    return uint32_t(item >> (32 + shift)) & mask;
}

// Turns per-block counts of each bucket (block-major: counts[block *
// buckets + bucket]) into where each block's items of each bucket go:
// bucket by bucket, block by block, so that a bucket's items keep their
// blocks' order. `starts` receives where each bucket starts and, last, the
// total (buckets + 1 values); `cursors` is scratch. Both sweeps read the
// counts in memory order.
void placeBlocks(uint32_t* counts, size_t blocks, size_t buckets, std::vector<uint32_t>& starts,
                 std::vector<uint32_t>& cursors) {
    starts.assign(buckets + 1, 0);
    for (size_t block = 0; block < blocks; ++block)
        for (size_t bucket = 0; bucket < buckets; ++bucket) starts[bucket + 1] += counts[block * buckets + bucket];
    for (size_t bucket = 0; bucket < buckets; ++bucket) starts[bucket + 1] += starts[bucket];
    cursors.assign(starts.begin(), starts.end() - 1);
    for (size_t block = 0; block < blocks; ++block) {
        for (size_t bucket = 0; bucket < buckets; ++bucket) {
            uint32_t& count = counts[block * buckets + bucket];
            const uint32_t items = count;
            count = cursors[bucket];
            cursors[bucket] += items;
        }
    }
}

// One stable pass of the sort, by the digit at `shift`: each block counts
// its items' digits, then moves them where the counts put them.
// runs(block, body) calls body(first, end) for each run of the block's
// items in `from`, in order.
template <typename Runs>
void sortPass(core::ThreadPool& pool, size_t blocks, const Runs& runs, const uint64_t* from, uint64_t* to, int shift,
              uint32_t buckets, std::vector<uint32_t>& counts, std::vector<uint32_t>& starts,
              std::vector<uint32_t>& cursors) {
    const uint32_t mask = buckets - 1;
    counts.resize(blocks * buckets);
    pool.parallelFor(blocks, 1, [&](size_t blockBegin, size_t blockEnd, unsigned) {
        for (size_t block = blockBegin; block < blockEnd; ++block) {
            uint32_t* blockCounts = counts.data() + block * buckets;
            std::fill_n(blockCounts, buckets, 0);
            runs(block, [&](size_t first, size_t end) {
                for (size_t item = first; item < end; ++item) ++blockCounts[digitOf(from[item], shift, mask)];
            });
        }
    });
    placeBlocks(counts.data(), blocks, buckets, starts, cursors);
    pool.parallelFor(blocks, 1, [&](size_t blockBegin, size_t blockEnd, unsigned) {
        for (size_t block = blockBegin; block < blockEnd; ++block) {
            uint32_t* offsets = counts.data() + block * buckets;
            runs(block, [&](size_t first, size_t end) {
                for (size_t item = first; item < end; ++item) to[offsets[digitOf(from[item], shift, mask)]++] = from[item];
            });
        }
    });
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
    // Projection in chunks by index, a few per worker. Each chunk lists its
    // drawn Gaussians' sort items in its own part of depthOrder_ and numbers
    // their entries' slots from 0; the chunks' totals place them later.
    const size_t chunkSize = chunkSizeFor(count, pool_.size() * tuning::projectionChunksPerWorker);
    projectChunks(model, camera, shDegree, chunkSize);
    const DrawnGaussians drawn = totalChunks();
    sortByDepth(chunkSize, drawn);
    // The tiles are filled in chunks of the depth order: each chunk counts
    // its entries per tile and later writes them at offsets of its own, so
    // no two workers touch one counter, and every tile's entries land front
    // to back. Meanwhile each moves a slice of the Gaussians' slot numbers
    // by where their projection chunk's slots start. Two chunks a worker:
    // where one chunk's entries of a tile end and the next one's begin, two
    // workers write one cache line, and more chunks mean more such lines.
    const size_t fillSize = chunkSizeFor(drawn.count, pool_.size() * tuning::fillChunksPerWorker);
    countTileEntries(chunkSize, fillSize, drawn.count);
    orderTiles();
    fillTiles(camera, fillSize, drawn.count);
}

// Projects and packs the Gaussians chunk by chunk, and lists the drawn ones
// of each chunk for the depth sort.
void Rasterizer::projectChunks(const GaussianModel& model, const ViewCamera& camera, int shDegree, size_t chunkSize) {
    const size_t count = model.size();
    const size_t chunks = (count + chunkSize - 1) / chunkSize;
    projectedChunks_.resize(chunks);
    pool_.parallelFor(chunks, 1, [&](size_t chunkBegin, size_t chunkEnd, unsigned) {
        for (size_t chunk = chunkBegin; chunk < chunkEnd; ++chunk) {
            // Kept apart from the other chunks' totals until the end: they
            // share cache lines.
            ProjectedChunk totals = {0, 0, ~uint32_t(0), 0, 0};
            const size_t first = chunk * chunkSize, end = std::min(count, (chunk + 1) * chunkSize);
            GaussianProjection::projectBatch(model, first, end - first, camera, centre_, shDegree, &projected_[first]);
            packInBatches(&projected_[first], end - first, &splats_[first]);
            for (size_t index = first; index < end; ++index) {
                slotStart_[index] = totals.slots;
                ProjectedGaussian& p = projected_[index];
                TileRect& rect = rects_[index];
                rect = {};
                const TileSplat& s = splats_[index];
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
                std::memcpy(&depthBits, &p.depth, sizeof depthBits);
                totals.nearestKey = std::min(totals.nearestKey, depthBits);
                totals.farthestKey = std::max(totals.farthestKey, depthBits);
                depthOrder_[first + totals.drawn++] = (uint64_t(depthBits) << 32) | uint64_t(index);
                totals.slots += uint32_t((x1 - x0) * (y1 - y0));
            }
            projectedChunks_[chunk] = totals;
        }
    });
}

// The chunks' first slots, and how many Gaussians are drawn in all and how
// many low bits of their depths differ.
Rasterizer::DrawnGaussians Rasterizer::totalChunks() {
    uint32_t nearestKey = ~uint32_t(0), farthestKey = 0, slots = 0, drawn = 0;
    for (ProjectedChunk& totals : projectedChunks_) {
        nearestKey = std::min(nearestKey, totals.nearestKey);
        farthestKey = std::max(farthestKey, totals.farthestKey);
        totals.firstSlot = slots;
        slots += totals.slots;
        drawn += totals.drawn;
    }
    slotStart_.back() = slots;
    return {drawn, drawn == 0 ? 0 : int(std::bit_width(nearestKey ^ farthestKey))};
}

// Sorts the drawn Gaussians' items by depth, then index, into depthOrder_.
void Rasterizer::sortByDepth(size_t chunkSize, const DrawnGaussians& drawnGaussians) {
    const uint32_t drawn = drawnGaussians.count;
    const int keyBits = drawnGaussians.keyBits;
    const size_t chunks = projectedChunks_.size();
    const int passes = std::max(1, (keyBits + tuning::maxDigitBits - 1) / tuning::maxDigitBits);
    const int digitBits = (keyBits + passes - 1) / passes;
    const uint32_t buckets = uint32_t(1) << digitBits;
    const size_t blocks =
        std::max<size_t>(1, std::min({drawn / tuning::sortBlockItems, size_t(pool_.size()), chunks}));
    // The first pass reads the chunks' lists, whole chunks a block; the
    // others the packed list. A stable sort of items listed by index leaves
    // equal depths in index order.
    sortPass(
        pool_, blocks,
        [&](size_t block, const auto& body) {
            for (size_t chunk = block * chunks / blocks; chunk < (block + 1) * chunks / blocks; ++chunk)
                body(chunk * chunkSize, chunk * chunkSize + projectedChunks_[chunk].drawn);
        },
        depthOrder_.data(), depthOrderSpare_.data(), 0, buckets, digitCounts_, digitStarts_, placeCursors_);
    for (int pass = 1; pass < passes; ++pass) {
        depthOrder_.swap(depthOrderSpare_);
        sortPass(
            pool_, blocks,
            [&](size_t block, const auto& body) { body(block * drawn / blocks, (block + 1) * drawn / blocks); },
            depthOrder_.data(), depthOrderSpare_.data(), pass * digitBits, buckets, digitCounts_, digitStarts_,
            placeCursors_);
    }
    depthOrder_.swap(depthOrderSpare_);
}

// Counts each fill chunk's entries per tile and places them tile by tile,
// chunk by chunk; meanwhile moves each Gaussian's slots by where its
// projection chunk's slots start.
void Rasterizer::countTileEntries(size_t chunkSize, size_t fillSize, uint32_t drawn) {
    const size_t count = projected_.size(), tiles = size_t(tilesX_) * size_t(tilesY_);
    const size_t fills = (drawn + fillSize - 1) / fillSize;
    const uint64_t* order = depthOrder_.data();
    chunkCursors_.resize(fills * tiles);
    pool_.parallelFor(fills, 1, [&](size_t fillBegin, size_t fillEnd, unsigned) {
        for (size_t fill = fillBegin; fill < fillEnd; ++fill) {
            for (size_t index = fill * count / fills, to = (fill + 1) * count / fills; index < to;) {
                const size_t chunk = index / chunkSize, chunkEnd = std::min(to, (chunk + 1) * chunkSize);
                for (const uint32_t firstSlot = projectedChunks_[chunk].firstSlot; index < chunkEnd; ++index)
                    slotStart_[index] += firstSlot;
            }
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
    placeBlocks(chunkCursors_.data(), fills, tiles, tileStart_, placeCursors_);
}

// The order in which the tile passes take the tiles.
void Rasterizer::orderTiles() {
    const size_t tiles = size_t(tilesX_) * size_t(tilesY_);
    // Each worker's share of the tile passes is a band of tiles in image
    // order, which the loss's share of rows of the same worker roughly
    // covers: the pixels a worker writes in one pass it mostly reads in the
    // next. Within its share a worker takes the longest lists first, so
    // that those who finish early help with short ones at the end; ties in
    // tile order.
    tileKeys_.resize(tiles);
    for (size_t tile = 0; tile < tiles; ++tile)
        tileKeys_[tile] = (uint64_t(~(tileStart_[tile + 1] - tileStart_[tile])) << 32) | uint64_t(tile);
    for (unsigned worker = 0; worker < pool_.size(); ++worker)
        std::sort(tileKeys_.begin() + ptrdiff_t(pool_.shareStart(worker, tiles)),
                  tileKeys_.begin() + ptrdiff_t(pool_.shareStart(worker + 1, tiles)));
    tileOrder_.resize(tiles);
    for (size_t at = 0; at < tiles; ++at) tileOrder_[at] = uint32_t(tileKeys_[at]);
}

// Writes every drawn Gaussian's entries into the tiles of its rectangle.
void Rasterizer::fillTiles(const ViewCamera& camera, size_t fillSize, uint32_t drawn) {
    const size_t tiles = size_t(tilesX_) * size_t(tilesY_);
    const size_t fills = (drawn + fillSize - 1) / fillSize;
    const uint64_t* order = depthOrder_.data();
    const uint32_t total = tileStart_[tiles];
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
                if (const size_t far = at + tuning::fillFetchFactor * prefetchDistance; far < end) {
                    const uint32_t ahead = uint32_t(order[far]);
                    __builtin_prefetch(&splats_[ahead]);
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
                            const char* line = reinterpret_cast<const char*>(&entrySplats_[next]);
                            __builtin_prefetch(line, 1);
                            __builtin_prefetch(line + sizeof(EntrySplat) - 1, 1);
                        }
                }
                const uint32_t index = uint32_t(order[at]);
                const TileSplat& s = splats_[index];
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
                            entrySplats_[entry] = s.entry;
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
    pool_.parallelFor(tileOrder_.size(), 1, [&](size_t begin, size_t end, unsigned) {
        for (size_t at = begin; at < end; ++at)
            renderTile(int(tileOrder_[at]), camera, background, image.data());
    });
}

void Rasterizer::renderTile(int tile, const ViewCamera& camera, const Vec3& background, float* image) {
    const PixelRange pixels = tileRange(tile, tilesX_, camera);
    const uint32_t begin = tileStart_[tile], count = tileStart_[tile + 1] - begin;
    ForwardPixels state;
    uint32_t open = 0;
    forEachHalfRow(pixels, [&](int, int, int, int lanes, int h) {
        Ints outside{};
        for (int lane = lanes; lane < halfRow; ++lane) outside[lane] = -1;
        for (int c = 0; c < 3; ++c) state.colour[c][h] = Floats{};
        state.transmittance[h] = Floats{} + 1.0f;
        state.done[h] = outside;
        state.last[h] = ~outside & int32_t(count);
        open |= 1u << h;
    });
    compositeTile(entrySplats_.data() + begin, entryRows_.data() + begin, count, pixels.x0, pixels.y0, open, state);
    forEachHalfRow(pixels, [&](int y, int, int first, int lanes, int h) {
        for (int lane = 0; lane < lanes; ++lane) {
            const size_t pixel = size_t(y) * size_t(camera.width) + size_t(first + lane);
            const float T = state.transmittance[h][lane];
            for (int c = 0; c < 3; ++c) image[pixel * 3 + c] = state.colour[c][h][lane] + T * background[c];
            finalTransmittance_[pixel] = T;
            lastEntry_[pixel] = uint32_t(state.last[h][lane]);
        }
    });
}

void Rasterizer::backward(const GaussianModel& model, const ViewCamera& camera, int shDegree, const Vec3& background,
                          const std::vector<float>& imageGradient, GaussianModel& gradients,
                          std::vector<float>& meanGradientNorms) {
    const size_t count = model.size();
    if (gradients.size() != count) gradients.resize(count);
    entrySums_.resize(entrySplats_.size());
    pool_.parallelFor(tileOrder_.size(), 1, [&](size_t begin, size_t end, unsigned) {
        for (size_t at = begin; at < end; ++at)
            backwardTile(int(tileOrder_[at]), camera, background, imageGradient.data());
    });

    meanGradientNorms.resize(count);
    pool_.parallelFor(count, tuning::gatherGrain, [&](size_t begin, size_t end, unsigned) {
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
            // The sums were written past the caches: fetch further ahead,
            // both lines an entry's sums may span.
            if (const size_t ahead = index + tuning::gatherFetchFactor * prefetchDistance; ahead < end)
                for (uint32_t slot = slotStart_[ahead]; slot < slotStart_[ahead + 1]; ++slot) {
                    const char* from = reinterpret_cast<const char*>(&entrySums_[entryOfSlot_[slot]]);
                    __builtin_prefetch(from);
                    __builtin_prefetch(from + sizeof(GradientSums) - 1);
                }
            // Gathered in tile order, so the sums do not depend on the threads.
            GradientSums sum;
            for (uint32_t slot = slotStart_[index]; slot < slotStart_[index + 1]; ++slot) {
                const GradientSums& from = entrySums_[entryOfSlot_[slot]];
                for (int v = 0; v < GradientSums::count; ++v) sum.values[v] += from.values[v];
            }
            sums[batched] = projectedGradient(projected_[index], sum);
            batch[batched++] = index;
            if (batched == GaussianProjection::batchSize) flush();
        }
        if (batched > 0) flush();
    });
}

void Rasterizer::backwardTile(int tile, const ViewCamera& camera, const Vec3& background,
                              const float* imageGradient) {
    const PixelRange pixels = tileRange(tile, tilesX_, camera);
    const uint32_t begin = tileStart_[tile], count = tileStart_[tile + 1] - begin;
    BackwardPixels state;
    uint32_t reach[halfRows] = {};
    for (int h = 0; h < halfRows; ++h) {
        state.transmittance[h] = Floats{} + 1.0f;
        state.behind[h] = Floats{};
        for (int c = 0; c < 3; ++c) state.gradient[c][h] = Floats{};
        state.last[h] = Ints{};
    }
    forEachHalfRow(pixels, [&](int y, int, int first, int lanes, int h) {
        for (int lane = 0; lane < lanes; ++lane) {
            const size_t pixel = size_t(y) * size_t(camera.width) + size_t(first + lane);
            state.transmittance[h][lane] = finalTransmittance_[pixel];
            state.last[h][lane] = int32_t(lastEntry_[pixel]);
            reach[h] = std::max(reach[h], lastEntry_[pixel]);
            float behind = 0;
            for (int c = 0; c < 3; ++c) {
                state.gradient[c][h][lane] = imageGradient[pixel * 3 + c];
                behind += background[c] * imageGradient[pixel * 3 + c];
            }
            state.behind[h][lane] = behind;
        }
    });
    GradientSums* sums = entrySums_.data() + begin;
    // Entries below every pixel's last took nothing.
    const uint32_t deepest = *std::max_element(reach, reach + halfRows);
    for (uint32_t k = deepest; k < count; ++k) streamSums(Floats4{}, Floats4{}, 0, sums[k]);
    uncompositeTile(entrySplats_.data() + begin, entryRows_.data() + begin, pixels.x0, pixels.y0, reach, state, sums);
    // The sums reach memory before the gather, on other threads, reads them.
    _mm_sfence();
}

}  // namespace tessaron::trainer
