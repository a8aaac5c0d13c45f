#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "PlyKit/OutputStream.hpp"
#include "PlyKit/StreamError.hpp"
#include "core/Error.hpp"

namespace plykit {

// Where a writer's bytes go: a file (its contents replaced) or memory.
class WriterDestination {
public:
    using ErrorKind = OpenErrorKind;
    using Error = OpenError;

    static WriterDestination file(std::filesystem::path path);
    static WriterDestination memory();

    const std::filesystem::path* filePath() const noexcept { return path_ ? &*path_ : nullptr; }

    // A new stream to the destination; throws Error when the file cannot be
    // created or written.
    std::unique_ptr<OutputStream> outputStream() const;

private:
    explicit WriterDestination(std::optional<std::filesystem::path> path) : path_(std::move(path)) {}

    std::optional<std::filesystem::path> path_;
};

}  // namespace plykit
