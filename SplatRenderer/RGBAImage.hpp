#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "core/Error.hpp"

namespace splatrenderer {

// 8-bit RGBA pixels, rows from the top.
struct RGBAImage {
    enum class ErrorKind { cannotWrite };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width × height × 4

    std::array<std::uint8_t, 4> at(int x, int y) const {
        const auto* pixel = &pixels[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4];
        return {pixel[0], pixel[1], pixel[2], pixel[3]};
    }

    // Writes a PNG with alpha; throws Error when the file cannot be written.
    void writePNG(const std::filesystem::path& file) const;
};

}  // namespace splatrenderer
