#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace spz {

// Axis conventions named by where x, y and z point: left/right, down/up,
// back/front. SPZ files store RUB; the application's scenes are RDF.
enum class CoordinateSystem : std::uint8_t {
    unspecified = 0,
    ldb = 1,
    rdb = 2,
    lub = 3,
    rub = 4,
    ldf = 5,
    rdf = 6,
    luf = 7,
    ruf = 8,
};

std::optional<CoordinateSystem> coordinateSystemFromRawValue(int rawValue);

// Signs that carry positions, rotation axes and SH coefficients from one
// convention into another; w of a quaternion never changes.
struct CoordinateConverter {
    std::array<float, 3> flipP{1, 1, 1};
    std::array<float, 3> flipQ{1, 1, 1};
    std::array<float, 15> flipSh{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
};

CoordinateConverter coordinateConverter(CoordinateSystem from, CoordinateSystem to);

}  // namespace spz
