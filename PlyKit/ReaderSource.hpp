#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <variant>
#include <vector>

#include "PlyKit/InputStream.hpp"
#include "PlyKit/StreamError.hpp"
#include "core/Error.hpp"

namespace plykit {

// Where a reader's bytes come from: a file or bytes in memory.
class ReaderSource {
public:
    using ErrorKind = OpenErrorKind;
    using Error = OpenError;

    static ReaderSource url(std::filesystem::path path);
    static ReaderSource memory(std::vector<std::uint8_t> bytes);

    // The file's path, or none for memory.
    const std::filesystem::path* filePath() const noexcept { return std::get_if<std::filesystem::path>(&value_); }

    // A new stream over the source; throws Error when the file cannot be read.
    std::unique_ptr<InputStream> inputStream() const;

private:
    using Bytes = std::shared_ptr<const std::vector<std::uint8_t>>;
    explicit ReaderSource(std::variant<std::filesystem::path, Bytes> value) : value_(std::move(value)) {}

    std::variant<std::filesystem::path, Bytes> value_;
};

}  // namespace plykit
