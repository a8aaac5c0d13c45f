#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace tessaron::colmap {

// A cell's normalisation: scene position = translation + p / scale. The
// trainer works in the frame where the camera centres of the cell's images
// have mean 0 and a largest coordinate deviation of 1; this brings its
// output back.
struct CellNormTransform {
    struct Translation {
        double x = 0;
        double y = 0;
        double z = 0;
        bool operator==(const Translation&) const = default;
    };
    Translation translation;
    double scale = 1;

    bool operator==(const CellNormTransform&) const = default;

    // A camera centre in the model's frame.
    struct Centre {
        double x = 0;
        double y = 0;
        double z = 0;
        bool operator==(const Centre&) const = default;
    };

    // The normalisation of a cell from the camera centres in its images.bin:
    // their mean, and one over their largest coordinate deviation. None when
    // no centre can be read; never throws.
    static std::optional<CellNormTransform> estimate(const std::filesystem::path& sparseURL);
    // Camera centres of the complete leading records of an images.bin.
    static std::vector<Centre> cameraCenters(std::string_view imagesBin);
};

}  // namespace tessaron::colmap
