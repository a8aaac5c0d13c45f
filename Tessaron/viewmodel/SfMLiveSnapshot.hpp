#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tessaron::viewmodel {

// The newest snapshot of COLMAP's growing model, as the live point cloud
// draws it. Two snapshots with the same folder are the same snapshot.
struct SfMLiveSnapshot {
    std::filesystem::path url;                     // the snapshot folder that was read
    std::vector<uint64_t> ids;                     // point ids, ascending
    std::vector<std::array<float, 3>> positions;   // in the order of `ids`

    bool operator==(const SfMLiveSnapshot&) const = default;
};

}  // namespace tessaron::viewmodel
