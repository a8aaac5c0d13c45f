#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tessaron::trainer::lanes {

// Arithmetic written once for one float or for eight Gaussians at a time in
// the lanes of a GCC vector: F is float or Floats. Comparisons of F give a
// Mask (bool, or a vector of -1/0 lanes), combined with & and | and turned
// into values with select(), so per-Gaussian branches become per-lane
// choices. Everything here is inlined into its callers, so the eight-lane
// code is compiled once per target clone of the caller.
using Floats = float __attribute__((vector_size(32)));
using Ints = int32_t __attribute__((vector_size(32)));
constexpr int width = 8;

template <typename F>
constexpr bool isScalar = std::is_same_v<F, float>;

template <typename F>
using Mask = std::conditional_t<isScalar<F>, bool, Ints>;
template <typename F>
using IntsOf = std::conditional_t<isScalar<F>, int32_t, Ints>;

template <typename F>
inline __attribute__((always_inline)) F splat(float value) {
    return F{} + value;
}

template <typename F>
inline __attribute__((always_inline)) IntsOf<F> bitsOf(F value) {
    if constexpr (isScalar<F>)
        return std::bit_cast<int32_t>(value);
    else
        return Ints(value);
}

template <typename F>
inline __attribute__((always_inline)) F fromBits(IntsOf<F> bits) {
    if constexpr (isScalar<F>)
        return std::bit_cast<float>(bits);
    else
        return Floats(bits);
}

template <typename F>
inline __attribute__((always_inline)) F select(Mask<F> mask, F yes, F no) {
    if constexpr (isScalar<F>)
        return mask ? yes : no;
    else
        return Floats((mask & Ints(yes)) | (~mask & Ints(no)));
}

// std::max and std::clamp lane by lane, NaN handling included.
template <typename F>
inline __attribute__((always_inline)) F maxOf(F a, F b) {
    return select<F>(a < b, b, a);
}

template <typename F>
inline __attribute__((always_inline)) F clampTo(F value, float low, float high) {
    return select<F>(value < low, splat<F>(low), select<F>(high < value, splat<F>(high), value));
}

// Lane by lane sqrt compiles to one vector instruction.
template <typename F>
inline __attribute__((always_inline)) F squareRoot(F value) {
    if constexpr (isScalar<F>) {
        return __builtin_sqrtf(value);
    } else {
        Floats root;
        for (int lane = 0; lane < width; ++lane) root[lane] = __builtin_sqrtf(value[lane]);
        return root;
    }
}

// Not infinite and not NaN.
template <typename F>
inline __attribute__((always_inline)) Mask<F> isFinite(F value) {
    const F magnitude = fromBits<F>(bitsOf(value) & 0x7fffffff);
    return magnitude <= 3.40282347e38f;
}

// The smallest whole number at or above `value`: rounding through 1.5·2^23
// (the portable build has no rounding instruction); values that large are
// whole already.
template <typename F>
inline __attribute__((always_inline)) F ceiling(F value) {
    constexpr float shifter = 12582912.0f;
    const F rounded = (value + shifter) - shifter;
    const F up = select<F>(rounded < value, rounded + 1.0f, rounded);
    return select<F>(fromBits<F>(bitsOf(value) & 0x7fffffff) < 4194304.0f, up, value);
}

// 2^n for n in [-126, 127], from the exponent bits.
template <typename F>
inline __attribute__((always_inline)) F powerOfTwo(IntsOf<F> n) {
    if constexpr (isScalar<F>)
        return std::bit_cast<float>(uint32_t(n + 127) << 23);
    else
        return Floats((n + 127) << 23);
}

// 2^x for x in [-126, 126], to about 2e-6 relative, without branches or
// library calls: the engine's one fast exp2, for the pixel loops (where a
// result must be closer, exponential() serves). 2^round(x) from the
// exponent bits times a polynomial for the rest, evaluated in pairs to keep
// the dependency chain short. Adding 1.5·2^23 rounds x and leaves round(x)
// in the low bits of the sum. Lanes outside the range give garbage, which
// callers mask away.
template <typename F>
inline __attribute__((always_inline)) F fastExp2(F x) {
    constexpr float shifter = 12582912.0f;  // 1.5·2^23, whose bits are 0x4B400000
    const F shifted = x + shifter;
    const F f = x - (shifted - shifter);  // [-0.5, 0.5]
    const F f2 = f * f;
    const F low = f * 0.693147181f + 1.0f;
    const F middle = f * 0.0555041087f + 0.240226507f;
    const F high = f * 0.00133335581f + 0.00961812911f;
    const F p = low + f2 * (middle + f2 * high);
    return p * powerOfTwo<F>(bitsOf(shifted) - 0x4B400000);
}

// e^x to about one unit in the last place over the whole float range
// (underflow to 0, overflow to infinity, NaN kept): x = n·ln 2 + r with
// |r| <= ln 2 / 2, ln 2 in two parts so that r is exact, a degree-6
// polynomial for e^r, and 2^n applied in two halves so that results in the
// subnormal range and near overflow come out right.
template <typename F>
inline __attribute__((always_inline)) F exponential(F x) {
    x = clampTo<F>(x, -104.0f, 89.0f);
    constexpr float shifter = 12582912.0f;  // 1.5·2^23: its low bits hold round(x·log2 e)
    const F shifted = x * 1.44269504088896341f + shifter;
    const F n = shifted - shifter;
    const F r = (x - n * 0.693359375f) - n * -2.12194440e-4f;
    const F r2 = r * r;
    F p = r * 1.9875691500e-4f + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    p = p * r2 + r + 1.0f;
    const IntsOf<F> whole = bitsOf(shifted) - 0x4B400000;
    const IntsOf<F> half = whole >> 1;
    return p * powerOfTwo<F>(half) * powerOfTwo<F>(whole - half);
}

template <typename F>
inline __attribute__((always_inline)) F toFloats(IntsOf<F> value) {
    if constexpr (isScalar<F>)
        return float(value);
    else
        return __builtin_convertvector(value, Floats);
}

// The largest whole number at or below `value`, for |value| < 2^31.
template <typename F>
inline __attribute__((always_inline)) IntsOf<F> floorToInts(F value) {
    const F whole = -ceiling<F>(-value);
    if constexpr (isScalar<F>)
        return int32_t(whole);
    else
        return __builtin_convertvector(whole, Ints);
}

// log2(x) for positive normal x to within about 2e-7: x = 2^e·m with m in
// [sqrt(1/2), sqrt(2)), log m = 2·atanh(z) with z = (m - 1)/(m + 1), |z| <
// 0.172, from its series to z^9. Zero gives -127; other values (negative,
// subnormal, infinite, NaN) give garbage, which callers mask away.
template <typename F>
inline __attribute__((always_inline)) F logarithm2(F x) {
    const IntsOf<F> bits = bitsOf(x);
    IntsOf<F> exponent = (bits >> 23) - 127;
    F m = fromBits<F>((bits & 0x007fffff) | 0x3f800000);
    const Mask<F> high = m > 1.41421356f;
    m = select<F>(high, m * 0.5f, m);
    if constexpr (isScalar<F>)
        exponent += high ? 1 : 0;
    else
        exponent -= high;
    const F z = (m - 1.0f) / (m + 1.0f);
    const F z2 = z * z;
    const F series = (((z2 * (1.0f / 9) + 1.0f / 7) * z2 + 1.0f / 5) * z2 + 1.0f / 3) * z2 + 1.0f;
    constexpr float twiceLog2e = 2.88539008f;
    return toFloats<F>(exponent) + z * series * twiceLog2e;
}

// Moving values between eight rows of memory (one per lane, say eight
// Gaussians' colour coefficients) and columns in lanes (value j of every
// row in one vector). Eight columns at a time: rows i and i + 4 load into
// the halves of one register, and a 4 x 4 transpose within each half
// yields the columns; the same transpose takes columns back to rows.
// Rows are raw memory of at least n >= 8 floats; a last partial block is
// taken at n - 8, overlapping the one before.
using Floats4 = float __attribute__((vector_size(16)));

inline __attribute__((always_inline)) void transposeHalves(Floats v[4]) {
    // Pairs of lanes from the two vectors in turn (lanes 8-15 are the
    // second's), then quads of the pairs.
    const Floats t0 = __builtin_shufflevector(v[0], v[1], 0, 8, 1, 9, 4, 12, 5, 13);
    const Floats t1 = __builtin_shufflevector(v[0], v[1], 2, 10, 3, 11, 6, 14, 7, 15);
    const Floats t2 = __builtin_shufflevector(v[2], v[3], 0, 8, 1, 9, 4, 12, 5, 13);
    const Floats t3 = __builtin_shufflevector(v[2], v[3], 2, 10, 3, 11, 6, 14, 7, 15);
    v[0] = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);
    v[1] = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);
    v[2] = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);
    v[3] = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);
}

// Where block `block` of the blocks of eight values covering [0, n) starts.
inline int blockStart(int block, int n) { return std::min(block * 8, n - 8); }

// columns[j][lane] = rows[lane][j] for j < n.
inline __attribute__((always_inline)) void rowsToColumns(const void* const rows[width], int n, Floats* columns) {
    for (int block = 0; block * 8 < n; ++block) {
        const int first = blockStart(block, n);
        for (int quad = 0; quad < 2; ++quad) {
            Floats v[4];
            for (int i = 0; i < 4; ++i) {
                Floats4 low, high;
                std::memcpy(&low, static_cast<const float*>(rows[i]) + first + quad * 4, sizeof(Floats4));
                std::memcpy(&high, static_cast<const float*>(rows[i + 4]) + first + quad * 4, sizeof(Floats4));
                v[i] = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
            }
            transposeHalves(v);
            for (int i = 0; i < 4; ++i) columns[first + quad * 4 + i] = v[i];
        }
    }
}

// rows[lane][j] = columns[j][lane] (or += when adding) for j < n.
template <bool adding>
inline __attribute__((always_inline)) void columnsToRows(const Floats* columns, int n, void* const rows[width]) {
    for (int block = 0; block * 8 < n; ++block) {
        const int first = blockStart(block, n);
        // Adding: what an overlapping block's start shares with the block
        // before has been added already.
        const int fresh = block * 8 - first;
        for (int quad = 0; quad < 2; ++quad) {
            Floats v[4];
            for (int i = 0; i < 4; ++i) {
                const int column = first + quad * 4 + i;
                v[i] = adding && column - first < fresh ? Floats{} : columns[column];
            }
            transposeHalves(v);
            for (int i = 0; i < 4; ++i) {
                Floats4 halves[2] = {__builtin_shufflevector(v[i], v[i], 0, 1, 2, 3),
                                     __builtin_shufflevector(v[i], v[i], 4, 5, 6, 7)};
                for (int half = 0; half < 2; ++half) {
                    float* row = static_cast<float*>(rows[i + 4 * half]) + first + quad * 4;
                    if constexpr (adding) {
                        Floats4 before;
                        std::memcpy(&before, row, sizeof(Floats4));
                        halves[half] += before;
                    }
                    std::memcpy(row, &halves[half], sizeof(Floats4));
                }
            }
        }
    }
}

}  // namespace tessaron::trainer::lanes
