#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/Error.hpp"

namespace tessaron::pipeline {

// The names inside a workspace are the application's own. A cell folder
// that a symbolic link (its own, one of partitions/, or one below it)
// carries outside the workspace is refused: training there, or reading it
// into the merge, would write or take files that belong to someone else.
class WorkspaceConfinement {
public:
    // "Cell folder cell_0 resolves outside the workspace (/elsewhere/cell) — refused."
    class OutsideError : public core::Error {
    public:
        OutsideError(const std::string& cellId, const std::filesystem::path& resolved)
            : core::Error("Cell folder " + cellId + " resolves outside the workspace (" + resolved.string() +
                          ") — refused.") {}
    };

    // Where `item` really lies when that is outside `workspace`, with links
    // resolved as far as the path exists; none when it lies inside.
    static std::optional<std::filesystem::path> outsideLocation(const std::filesystem::path& workspace,
                                                                const std::filesystem::path& item);

    // Throws OutsideError, naming the folder, when `cellFolder` or its model
    // folder (sparse/0, which a link at sparse or at 0 can carry elsewhere)
    // lies outside `workspace`: the cell's model is read and written there.
    static void checkCellFolder(const std::filesystem::path& workspace, const std::filesystem::path& cellFolder);
};

}  // namespace tessaron::pipeline
