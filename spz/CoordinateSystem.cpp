#include "spz/CoordinateSystem.hpp"

namespace spz {

std::optional<CoordinateSystem> coordinateSystemFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 8) return std::nullopt;
    return CoordinateSystem(rawValue);
}

CoordinateConverter coordinateConverter(CoordinateSystem from, CoordinateSystem to) {
    // raw value - 1 is a 3-bit code: bit 0 right, bit 1 up, bit 2 front.
    unsigned differing = 0;
    if (from != CoordinateSystem::unspecified && to != CoordinateSystem::unspecified)
        differing = unsigned(int(from) - 1) ^ unsigned(int(to) - 1);
    float sx = (differing & 1) ? -1.0f : 1.0f;
    float sy = (differing & 2) ? -1.0f : 1.0f;
    float sz = (differing & 4) ? -1.0f : 1.0f;
    CoordinateConverter converter;
    converter.flipP = {sx, sy, sz};
    converter.flipQ = {sy * sz, sx * sz, sx * sy};
    converter.flipSh = {sy, sz, sx, sx * sy, sy * sz, 1, sx * sz, 1, sy, sx * sy * sz, sy, sz, sx, sz, sx};
    return converter;
}

}  // namespace spz
