#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "SplatRenderer/SplatChunk.hpp"

namespace splatrenderer {

// Reorders a chunk's splats along a 3-D Morton curve so that splats near in
// space are near in memory. The box is the mean ± 2.5 standard deviations
// per axis (outliers land on its faces), quantised to 1024 steps per axis.
class LocalityOrder {
public:
    // Reorders splats and coefficient slots in place. Fewer than 4 splats,
    // or a box that is flat or not finite on some axis, change nothing.
    static void optimize(SplatChunk& chunk);

    // order[k] = the splat that moves to position k; nothing when the chunk
    // is left as it is.
    static std::optional<std::vector<std::uint32_t>> permutation(std::span<const EncodedSplatPoint> splats);

    // 10 bits per axis interleaved: x in bit 0, y in bit 1, z in bit 2.
    static std::uint32_t mortonCode(std::uint32_t x, std::uint32_t y, std::uint32_t z);

    // An axis value to its step: 0 at or below `lower`, 1023 beyond the top.
    static std::uint32_t quantise(float value, float lower, float inverseExtent);

    // Moves element order[k] to position k for every k, following cycles:
    // each element moves once, with one saved element of `width` values.
    template <typename Element>
    static void permute(Element* elements, std::size_t width, std::span<const std::uint32_t> order);
};

template <typename Element>
void LocalityOrder::permute(Element* elements, std::size_t width, std::span<const std::uint32_t> order) {
    std::vector<bool> visited(order.size(), false);
    std::vector<Element> saved(width);
    for (std::size_t start = 0; start < order.size(); ++start) {
        if (visited[start]) continue;
        std::copy_n(elements + start * width, width, saved.begin());
        visited[start] = true;
        std::size_t hole = start;
        for (std::size_t next = order[start]; !visited[next]; next = order[next]) {
            std::copy_n(elements + next * width, width, elements + hole * width);
            visited[next] = true;
            hole = next;
        }
        std::copy_n(saved.begin(), width, elements + hole * width);
    }
}

}  // namespace splatrenderer
