#pragma once

#include <filesystem>

#include "SplatFormats/SplatSceneReader.hpp"
#include "core/Error.hpp"

namespace splatformats {

// Reads any splat file, choosing the reader by the file's extension alone
// (.ply, .splat, .spz in any letter case); the contents are never sniffed.
class AutodetectSceneReader final : public SplatSceneReader {
public:
    enum class ErrorKind { cannotDetermineFormat };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    // Does not touch the file.
    explicit AutodetectSceneReader(std::filesystem::path url) : url_(std::move(url)) {}

    const std::filesystem::path& url() const noexcept { return url_; }

    // A new reader of the detected format on every call; its errors pass
    // through unchanged.
    SplatBatchSequence read() override;

private:
    std::filesystem::path url_;
};

}  // namespace splatformats
