#include "spz/SpzHeader.hpp"

#include "spz/SPZError.hpp"

namespace spz {

namespace {

std::uint32_t readUInt32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return std::uint32_t(bytes[offset]) | std::uint32_t(bytes[offset + 1]) << 8 | std::uint32_t(bytes[offset + 2]) << 16 |
           std::uint32_t(bytes[offset + 3]) << 24;
}

void appendUInt32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(std::uint8_t(value >> shift));
}

}  // namespace

SpzHeader SpzHeader::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < byteCount)
        throw SPZError::invalidHeader("the stream has " + std::to_string(bytes.size()) + " bytes, fewer than the 16 of a header");
    if (readUInt32(bytes, 0) != magic) throw SPZError::invalidHeader("the stream does not begin with NGSP");
    SpzHeader header;
    header.version = readUInt32(bytes, 4);
    if (header.version < 1 || header.version > 3) throw SPZError::unsupportedVersion(header.version);
    header.numPoints = readUInt32(bytes, 8);
    if (header.numPoints > maximumPointCount) throw SPZError::tooManyPoints(header.numPoints);
    header.shDegree = bytes[12];
    if (header.shDegree > 3) throw SPZError::unsupportedSHDegree(header.shDegree);
    header.fractionalBits = bytes[13];
    if (header.fractionalBits > maximumFractionalBits)
        throw SPZError::invalidHeader("fractional bits " + std::to_string(header.fractionalBits) + " outside 0 to 24");
    header.antialiased = (bytes[14] & 1) != 0;
    return header;
}

void SpzHeader::appendTo(Bytes& bytes) const {
    appendUInt32(bytes, magic);
    appendUInt32(bytes, version);
    appendUInt32(bytes, numPoints);
    bytes.push_back(std::uint8_t(shDegree));
    bytes.push_back(std::uint8_t(fractionalBits));
    bytes.push_back(antialiased ? 1 : 0);
    bytes.push_back(0);
}

int SpzHeader::shDimension(int shDegree) noexcept {
    switch (shDegree) {
        case 1: return 3;
        case 2: return 8;
        case 3: return 15;
        default: return 0;
    }
}

std::size_t SpzHeader::streamLength() const noexcept {
    std::size_t perPoint = positionBytesPerPoint() + 1 + 3 + 3 + rotationBytesPerPoint() + shBytesPerPoint();
    return byteCount + std::size_t(numPoints) * perPoint;
}

}  // namespace spz
