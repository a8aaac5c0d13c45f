#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <variant>
#include <vector>

#include "SplatFormats/SplatSceneReader.hpp"
#include "core/Error.hpp"

namespace splatformats {

// Reads an .spz file: the whole file is loaded and checked by read(), then
// the points are decoded from RUB into the application's RDF, 10,000 to a
// batch, as they are asked for (decoding cannot fail once loaded). A
// destination with room for every point left, as readAll() reserves, gets
// them all at once, decoded on every core.
class SPZSceneReader final : public SplatSceneReader {
public:
    static constexpr std::size_t batchSize = 10000;

    enum class ErrorKind { readError };
    // Wraps whatever made loading fail (an spz::SPZError, a file error);
    // what() is that error's text.
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        Error(Kind kind, const std::string& description, std::exception_ptr underlying)
            : ErrorOf(kind, description), underlying_(std::move(underlying)) {}
        const std::exception_ptr& underlying() const noexcept { return underlying_; }

    private:
        std::exception_ptr underlying_;
    };

    explicit SPZSceneReader(const std::filesystem::path& path) : source_(path) {}
    explicit SPZSceneReader(std::vector<std::uint8_t> bytes) : source_(std::move(bytes)) {}

    SplatBatchSequence read() override;

private:
    std::variant<std::filesystem::path, std::vector<std::uint8_t>> source_;
};

}  // namespace splatformats
