#pragma once

#include <filesystem>
#include <string>

namespace tessaron::testing {

// A fresh folder under the system's temporary folder, removed with all its
// contents when the object goes away, so tests leave nothing behind.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "tessaron-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes `contents` to `path`, creating parent folders.
void writeTextFile(const std::filesystem::path& path, const std::string& contents);
std::string readTextFile(const std::filesystem::path& path);

}  // namespace tessaron::testing
