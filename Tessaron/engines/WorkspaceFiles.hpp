#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/DateText.hpp"
#include "core/Error.hpp"
#include "core/FileError.hpp"
#include "engines/PLYCheck.hpp"

namespace tessaron::engines {

// The file operations around a run's workspace: the workspace folder, the
// import of an existing COLMAP model, and the rule that a trainer's
// "output.partial.ply" takes the final name only after it passes PLYCheck.
// Synchronous and stateless; failures of the file system come as FileError.
class WorkspaceFiles {
public:
    using FileError = core::FileError;

    // "<file name> in the COLMAP folder is not a file": an imported model
    // file that is a folder, a device or anything but a regular file.
    class NotAFileError : public core::Error {
    public:
        NotAFileError(const std::string& fileName, const std::filesystem::path& resolvedPath)
            : core::Error(fileName + " in the COLMAP folder is not a file"), path(resolvedPath) {}
        std::filesystem::path path;
    };

    static constexpr const char* partialOutputName = "output.partial.ply";
    static constexpr const char* workspaceName = "Tessaron_workspace";

    // "output.partial.ply" in the folder of `finalOutput`, whatever its name.
    static std::filesystem::path partialOutputURL(const std::filesystem::path& finalOutput);

    // Checks `partial` and only then moves it over `destination`, replacing
    // what is there. A failure leaves both files as they were.
    static PLYCheck::Layout promoteValidatedPLY(const std::filesystem::path& partial,
                                                const std::filesystem::path& destination);

    // Removes a file or a whole folder; a missing one is no error.
    static void removeItemIfExists(const std::filesystem::path& item);

    // The engine streams its PLY into ".output.partial.ply.<pid>.tmp" beside
    // the partial output and renames it when done, as the atomic file writer
    // does with its own temporaries (a merge's output.ply); a process that
    // was killed leaves them behind (hundreds of MB for a large cell or a
    // merged model). Removes both kinds in `folder` whose process is gone;
    // one of a process that still runs is left alone. One that cannot be
    // removed is listed and the rest are still removed. Throws FileError
    // when the folder cannot be listed.
    struct StaleTemporaries {
        std::vector<std::string> removed;     // names
        std::vector<FileError> unremovable;   // each with its path and the reason
    };
    static StaleTemporaries removeStaleTemporaries(const std::filesystem::path& folder);
    // Whether `name` is such a temporary; its process id when it is.
    static std::optional<long> engineTemporaryProcess(const std::string& name);

    // Creates one folder (not its parents): true when made now, false when
    // something already exists under that name.
    static bool createDirectoryIgnoringExists(const std::filesystem::path& folder);

    // "Tessaron_workspace" in `outputFolder`; when taken, the name with the
    // stamp of `now` ("Tessaron_workspace 2025-03-14 09.26.53"), then that
    // with " 2", " 3", ...
    static std::filesystem::path createWorkspaceFolder(const std::filesystem::path& outputFolder,
                                                       core::TimePoint now = core::Clock::now());

    // Copies cameras.bin, images.bin and points3D.bin of the chosen folder's
    // sparse/0 (links resolved) into the workspace's colmap/sparse/0 and
    // returns the workspace's colmap folder. Stops at the first failing
    // file; what was copied before stays.
    static std::filesystem::path importCOLMAPModel(const std::filesystem::path& colmapFolder,
                                                   const std::filesystem::path& workspace);
};

}  // namespace tessaron::engines
