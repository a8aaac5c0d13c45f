#pragma once

#include <filesystem>
#include <string>

#include "core/Error.hpp"

namespace tessaron::pipeline {

// The photo road's input, checked before a workspace is made or COLMAP runs:
// COLMAP aborts on a folder without images, and an output inside the photo
// folder would be read as photos by the next run.
class PhotoFolderCheck {
public:
    class Error : public core::Error {
    public:
        using core::Error::Error;
    };

    // Throws Error naming the folder and what was found in it, unless it
    // holds at least one image (directly, or in its camera subfolders) whose
    // first one decodes, and `outputFolder` is not inside it.
    static void require(const std::filesystem::path& photoFolder, const std::filesystem::path& outputFolder);
};

}  // namespace tessaron::pipeline
