#include "spz/GzipInflater.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include <zlib.h>

#include "spz/LittleEndian.hpp"
#include "spz/SPZError.hpp"

namespace spz {

namespace {

constexpr std::uint8_t flagHeaderCRC = 2;
constexpr std::uint8_t flagExtra = 4;
constexpr std::uint8_t flagName = 8;
constexpr std::uint8_t flagComment = 16;
constexpr std::size_t gzipHeaderSize = 10;
constexpr std::size_t gzipTrailerSize = 8;

std::size_t skipZeroTerminated(std::span<const std::uint8_t> input, std::size_t start, const char* field) {
    auto terminator = std::find(input.begin() + std::ptrdiff_t(std::min(start, input.size())), input.end(), std::uint8_t(0));
    if (terminator == input.end())
        throw SPZError::decompressionFailed(std::string("the gzip ") + field + " field runs past the end of the file");
    return std::size_t(terminator - input.begin()) + 1;
}

// Where the DEFLATE data of a gzip member begins, every field checked against
// the input length.
std::size_t deflateOffset(std::span<const std::uint8_t> input) {
    if (input.size() < gzipHeaderSize)
        throw SPZError::decompressionFailed("the gzip header is cut short (" + std::to_string(input.size()) + " bytes)");
    if (input[2] != 8) throw SPZError::decompressionFailed("the gzip member is not DEFLATE (method " + std::to_string(input[2]) + ")");
    std::uint8_t flags = input[3];
    std::size_t start = gzipHeaderSize;
    if (flags & flagExtra) {
        if (input.size() < gzipHeaderSize + 2) throw SPZError::decompressionFailed("the gzip extra field is cut short");
        start = gzipHeaderSize + 2 + (std::size_t(input[10]) | std::size_t(input[11]) << 8);
    }
    if (flags & flagName) start = skipZeroTerminated(input, start, "name");
    if (flags & flagComment) start = skipZeroTerminated(input, start, "comment");
    if (flags & flagHeaderCRC) start += 2;
    if (input.size() < gzipTrailerSize || start >= input.size() - gzipTrailerSize)
        throw SPZError::decompressionFailed("the gzip header leaves no room for compressed data and trailer");
    return start;
}

}  // namespace

struct GzipInflater::Stream {
    z_stream zlib{};
    bool initialised = false;
    ~Stream() {
        if (initialised) inflateEnd(&zlib);
    }
};

GzipInflater::GzipInflater(std::span<const std::uint8_t> input, std::size_t maximumOutputSize)
    : stream_(std::make_unique<Stream>()), input_(input), maximumOutputSize_(maximumOutputSize) {
    if (input.empty()) throw SPZError::decompressionFailed("the file is empty");
    gzip_ = input.size() >= 2 && input[0] == 0x1F && input[1] == 0x8B;
    deflateStart_ = gzip_ ? deflateOffset(input) : 0;
    // Negative window bits: raw DEFLATE; the gzip wrapper is walked above.
    if (inflateInit2(&stream_->zlib, -MAX_WBITS) != Z_OK) throw SPZError::decompressionFailed("zlib could not start");
    stream_->initialised = true;
    crc_ = std::uint32_t(::crc32(0L, Z_NULL, 0));
}

GzipInflater::~GzipInflater() = default;

std::size_t GzipInflater::read(std::span<std::uint8_t> destination) {
    std::size_t produced = 0;
    z_stream& zlib = stream_->zlib;
    // zlib counts in 32-bit units; inputs and outputs go in bounded pieces.
    constexpr std::size_t piece = std::size_t(1) << 30;
    while (!ended_ && produced < destination.size()) {
        std::size_t consumed = deflateStart_ + std::size_t(zlib.total_in);
        if (zlib.avail_in == 0) {
            std::size_t available = input_.size() - consumed;
            zlib.next_in = const_cast<Bytef*>(input_.data() + consumed);
            zlib.avail_in = uInt(std::min(available, piece));
        }
        std::size_t room = std::min(destination.size() - produced, piece);
        zlib.next_out = destination.data() + produced;
        zlib.avail_out = uInt(room);
        int result = inflate(&zlib, Z_NO_FLUSH);
        std::size_t count = room - zlib.avail_out;
        if (count > 0) {
            crc_ = std::uint32_t(::crc32(crc_, destination.data() + produced, uInt(count)));
            produced += count;
            totalOutput_ += count;
            if (totalOutput_ > maximumOutputSize_)
                throw SPZError::decompressionFailed("the data inflates beyond " + std::to_string(maximumOutputSize_) + " bytes");
        }
        if (result == Z_STREAM_END) {
            ended_ = true;
            if (totalOutput_ == 0) throw SPZError::decompressionFailed("the compressed data holds no bytes");
            if (gzip_) verifyTrailer();
        } else if (result == Z_BUF_ERROR) {
            if (zlib.avail_in == 0 && deflateStart_ + std::size_t(zlib.total_in) >= input_.size())
                throw SPZError::decompressionFailed("the compressed data is truncated");
        } else if (result != Z_OK) {
            throw SPZError::decompressionFailed(std::string("the compressed data is corrupt (") +
                                                (zlib.msg ? zlib.msg : "zlib error " + std::to_string(result)) + ")");
        } else if (count == 0 && zlib.avail_in == 0 && deflateStart_ + std::size_t(zlib.total_in) >= input_.size()) {
            throw SPZError::decompressionFailed("the compressed data is truncated");
        }
    }
    return produced;
}

void GzipInflater::finish() {
    std::vector<std::uint8_t> scratch(std::size_t(1) << 16);
    while (!ended_) read(scratch);
}

void GzipInflater::verifyTrailer() {
    std::size_t trailerStart = deflateStart_ + std::size_t(stream_->zlib.total_in);
    if (input_.size() - trailerStart < gzipTrailerSize) throw SPZError::decompressionFailed("the gzip trailer is cut short");
    std::uint32_t storedCRC = readUInt32(input_.data() + trailerStart);
    std::uint32_t storedSize = readUInt32(input_.data() + trailerStart + 4);
    if (storedCRC != crc_) throw SPZError::decompressionFailed("the CRC-32 in the gzip trailer does not match the data");
    if (storedSize != std::uint32_t(totalOutput_))
        throw SPZError::decompressionFailed("the length in the gzip trailer does not match the data");
}

}  // namespace spz
