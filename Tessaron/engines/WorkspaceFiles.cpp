#include "engines/WorkspaceFiles.hpp"

#include <cerrno>
#include <sys/stat.h>

namespace tessaron::engines {

namespace {

// The path with its links resolved as far as it exists; unchanged when that
// cannot be worked out, so the next file operation reports the problem.
std::filesystem::path resolvingLinks(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
    return error ? path : resolved;
}

}  // namespace

std::filesystem::path WorkspaceFiles::partialOutputURL(const std::filesystem::path& finalOutput) {
    return finalOutput.parent_path() / partialOutputName;
}

PLYCheck::Layout WorkspaceFiles::promoteValidatedPLY(const std::filesystem::path& partial,
                                                     const std::filesystem::path& destination) {
    PLYCheck::Layout layout = PLYCheck::validate(partial);
    // rename(2) replaces an existing destination file in one step.
    std::error_code error;
    std::filesystem::rename(partial, destination, error);
    if (error) throw FileError("Could not move " + partial.string() + " to", destination, error);
    return layout;
}

void WorkspaceFiles::removeItemIfExists(const std::filesystem::path& item) {
    std::error_code error;
    std::filesystem::remove_all(item, error);
    if (error && error != std::errc::no_such_file_or_directory) throw FileError("Could not remove", item, error);
}

bool WorkspaceFiles::createDirectoryIgnoringExists(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0777) == 0) return true;
    if (errno == EEXIST) return false;
    core::FileError::throwErrno("Could not create folder", folder);
}

std::filesystem::path WorkspaceFiles::createWorkspaceFolder(const std::filesystem::path& outputFolder,
                                                            core::TimePoint now) {
    std::filesystem::path plain = outputFolder / workspaceName;
    if (createDirectoryIgnoringExists(plain)) return plain;
    std::string stamped = std::string(workspaceName) + " " + core::formatDate(now, "%Y-%m-%d %H.%M.%S");
    std::filesystem::path candidate = outputFolder / stamped;
    for (long counter = 2; !createDirectoryIgnoringExists(candidate); ++counter)
        candidate = outputFolder / (stamped + " " + std::to_string(counter));
    return candidate;
}

std::filesystem::path WorkspaceFiles::importCOLMAPModel(const std::filesystem::path& colmapFolder,
                                                        const std::filesystem::path& workspace) {
    std::filesystem::path source = resolvingLinks(colmapFolder / "sparse" / "0");
    std::filesystem::path workspaceColmap = workspace / "colmap";
    std::filesystem::path destination = workspaceColmap / "sparse" / "0";
    std::error_code error;
    std::filesystem::create_directories(destination, error);
    if (error) throw FileError("Could not create folder", destination, error);

    for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"}) {
        std::filesystem::path file = resolvingLinks(source / name);
        std::filesystem::file_status status = std::filesystem::status(file, error);
        if (error) throw FileError("Could not read", file, error);
        if (!std::filesystem::is_regular_file(status)) throw NotAFileError(name, file);
        std::filesystem::copy_file(file, destination / name, std::filesystem::copy_options::none, error);
        if (error) throw FileError("Could not copy " + file.string() + " to", destination / name, error);
    }
    return workspaceColmap;
}

}  // namespace tessaron::engines
