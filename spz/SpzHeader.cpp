#include "spz/SpzHeader.hpp"

#include "spz/LittleEndian.hpp"
#include "spz/SPZError.hpp"

namespace spz {

SpzHeader SpzHeader::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < byteCount)
        throw SPZError::invalidHeader("the stream has " + std::to_string(bytes.size()) + " bytes, fewer than the 16 of a header");
    if (readUInt32(bytes.data()) != magic) throw SPZError::invalidHeader("the stream does not begin with NGSP");
    SpzHeader header;
    header.version = readUInt32(bytes.data() + 4);
    if (header.version < 1 || header.version > 3) throw SPZError::unsupportedVersion(header.version);
    header.numPoints = readUInt32(bytes.data() + 8);
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
