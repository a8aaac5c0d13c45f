#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.hpp"

namespace tessaron::pipeline {

// The photo road's input, checked before a workspace is made or COLMAP runs:
// COLMAP aborts on a folder without images and fails after minutes on one
// photo, silently skips photos it cannot read, and an output inside the
// photo folder would be read as photos by the next run.
class PhotoFolderCheck {
public:
    class Error : public core::Error {
    public:
        using core::Error::Error;
    };

    // Structure from motion relates photos to each other: it needs two.
    static constexpr size_t minimumPhotos = 2;
    // No photo is this large; a file beyond it is not read to find that out.
    static constexpr std::uint64_t maximumPhotoBytes = std::uint64_t(1) << 30;

    // A photo of the folder that cannot be read, and why.
    struct LeftOut {
        std::filesystem::path photo;
        std::string reason;
    };

    struct Result {
        std::filesystem::path folder;  // the photo folder
        size_t photos = 0;             // files with an image name
        std::vector<LeftOut> leftOut;

        size_t usable() const { return photos - leftOut.size(); }
        // "⚠ 2 of 40 photos cannot be read and are left out: a.jpg (empty
        // file), b.jpg (not a readable image)", names relative to the
        // folder, ten at most; none when every photo reads.
        std::optional<std::string> warning() const;
    };

    // The photos are the files with an image name in the folder, or, when
    // it has none, in its camera subfolders one level down; each is decoded
    // once. Throws Error naming the folder and what was found in it unless
    // at least minimumPhotos of them read and `outputFolder` is not inside
    // it.
    static Result require(const std::filesystem::path& photoFolder, const std::filesystem::path& outputFolder);
};

}  // namespace tessaron::pipeline
