#include "engines/WorkspaceFiles.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <unistd.h>
#include <sys/stat.h>

#include "core/AtomicFile.hpp"

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

std::optional<long> WorkspaceFiles::engineTemporaryProcess(const std::string& name) {
    const std::string prefix = std::string(".") + partialOutputName + ".";
    const std::string suffix = ".tmp";
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix))
        return std::nullopt;
    const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    long process = std::stol(digits);
    if (process < 1) return std::nullopt;
    return process;
}

WorkspaceFiles::StaleTemporaries WorkspaceFiles::removeStaleTemporaries(const std::filesystem::path& folder) {
    StaleTemporaries result;
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error), end;
    // A folder that is not there (yet) holds nothing stale.
    if (error == std::errc::no_such_file_or_directory) return result;
    std::vector<std::filesystem::path> stale;
    for (; !error && entries != end; entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        auto process = engineTemporaryProcess(name);
        if (!process) process = core::AtomicFile::temporaryWriterProcess(name);
        if (!process) continue;
        // Signal 0 only asks whether the process exists; EPERM means it does.
        if (::kill(pid_t(*process), 0) == 0 || errno == EPERM) continue;
        stale.push_back(entries->path());
    }
    if (error) throw FileError("Could not list", folder, error);
    for (const std::filesystem::path& file : stale) {
        // unlink removes a link of that name itself, never what it names.
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
            const std::error_code code(errno, std::generic_category());
            result.unremovable.emplace_back("Could not remove", file, code);
            continue;
        }
        result.removed.push_back(file.filename().string());
    }
    return result;
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
