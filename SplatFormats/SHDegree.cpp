#include "SplatFormats/SHDegree.hpp"

namespace splatformats {

std::optional<SHDegree> shDegreeFromRawValue(std::uint8_t rawValue) {
    if (rawValue > 3) return std::nullopt;
    return SHDegree(rawValue);
}

int coefficientCount(SHDegree degree) {
    int next = int(degree) + 1;
    return next * next;
}

int coefficientsPerChannel(SHDegree degree) { return coefficientCount(degree); }

int extraCoefficientCount(SHDegree degree) { return coefficientCount(degree) - 1; }

SHDegree shDegreeFromCoefficientCount(int count) {
    if (count < 2) return SHDegree::sh0;
    if (count <= 4) return SHDegree::sh1;
    if (count <= 9) return SHDegree::sh2;
    return SHDegree::sh3;
}

}  // namespace splatformats
