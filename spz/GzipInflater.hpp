#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace spz {

// Pulls the decompressed bytes of one gzip member, or of raw DEFLATE when the
// input does not begin with the gzip magic 1F 8B, in pieces of the caller's
// size, so that nothing larger than the caller asks for is ever allocated.
// Every header field is bounds-checked; a corrupt or truncated stream, a
// CRC-32 or length mismatch in the gzip trailer, and output beyond
// `maximumOutputSize` are SPZError::decompressionFailed.
class GzipInflater {
public:
    GzipInflater(std::span<const std::uint8_t> input, std::size_t maximumOutputSize);
    ~GzipInflater();
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    // Fills `destination` as far as the stream goes; fewer bytes than its size
    // only at the end of the stream, after the trailer has been verified.
    std::size_t read(std::span<std::uint8_t> destination);
    // Reads and discards the rest, which still has to pass every check.
    void finish();

    std::uint64_t totalOutput() const noexcept { return totalOutput_; }
    // Where the DEFLATE data begins, and whether a gzip member wraps it.
    std::size_t deflateStart() const noexcept { return deflateStart_; }
    bool isGzip() const noexcept { return gzip_; }

private:
    struct Stream;
    void verifyTrailer();

    std::unique_ptr<Stream> stream_;
    std::span<const std::uint8_t> input_;
    std::size_t deflateStart_ = 0;
    bool gzip_ = false;
    bool ended_ = false;
    std::uint64_t totalOutput_ = 0;
    std::uint64_t maximumOutputSize_;
    std::uint32_t crc_ = 0;
};

}  // namespace spz
