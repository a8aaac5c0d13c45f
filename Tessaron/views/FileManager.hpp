#pragma once

#include <QObject>

#include <filesystem>
#include <functional>

namespace tessaron::views {

// "Show … in File Manager": asks the desktop's file manager to show a file
// selected (org.freedesktop.FileManager1.ShowItems on the session bus);
// without such a service, or when it answers with an error, opens the
// file's folder through the desktop instead, which tells with the folder's
// path when no file manager takes it.
//
// Threads: the main thread only; the bus call does not block it.
class FileManager {
public:
    // Opens a folder; by default openFolder().
    using FolderOpener = std::function<void(const std::filesystem::path& folder)>;

    static void reveal(const std::filesystem::path& file, FolderOpener openFolder = {});
    static void openFolder(const std::filesystem::path& folder);

    static constexpr const char* service = "org.freedesktop.FileManager1";
    static constexpr const char* objectPath = "/org/freedesktop/FileManager1";
};

}  // namespace tessaron::views
