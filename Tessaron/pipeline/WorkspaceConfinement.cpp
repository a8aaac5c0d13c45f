#include "pipeline/WorkspaceConfinement.hpp"

#include <algorithm>
#include <system_error>

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

// The path with its links resolved as far as it exists; made absolute
// without resolving when even that fails.
fs::path resolved(const fs::path& path) {
    std::error_code error;
    fs::path result = fs::weakly_canonical(path, error);
    if (!error) return result;
    return fs::absolute(path, error).lexically_normal();
}

}  // namespace

std::optional<fs::path> WorkspaceConfinement::outsideLocation(const fs::path& workspace, const fs::path& item) {
    const fs::path root = resolved(workspace);
    const fs::path location = resolved(item);
    // Compared component by component: /a/ws2 is not inside /a/ws.
    auto rootEnd = root.end();
    if (!root.empty() && root.filename().empty()) --rootEnd;  // a trailing separator names no component
    auto [rootAt, locationAt] = std::mismatch(root.begin(), rootEnd, location.begin(), location.end());
    if (rootAt == rootEnd) return std::nullopt;
    return location;
}

void WorkspaceConfinement::checkCellFolder(const fs::path& workspace, const fs::path& cellFolder) {
    const std::string cellId = cellFolder.filename().string();
    if (auto outside = outsideLocation(workspace, cellFolder)) throw OutsideError(cellId, *outside);
    if (auto outside = outsideLocation(workspace, cellFolder / "sparse" / "0"))
        throw OutsideError(cellId + "/sparse/0", *outside);
}

}  // namespace tessaron::pipeline
