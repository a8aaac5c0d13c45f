#include "engines/PLYCheck.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <string_view>
#include <unistd.h>

#include "core/RegularFile.hpp"
#include "core/TextDecoding.hpp"

namespace tessaron::engines {

PLYCheck::Failure PLYCheck::Failure::unreadable(const std::string& path, std::error_code reason) {
    Failure failure(FailureKind::unreadable, "Cannot read " + path);
    failure.path = path;
    failure.reason = reason;
    return failure;
}

PLYCheck::Failure PLYCheck::Failure::unsupportedProperty(const std::string& line) {
    Failure failure(FailureKind::unsupportedProperty, "Unsupported PLY property: " + line);
    failure.line = line;
    return failure;
}

PLYCheck::Failure PLYCheck::Failure::notGaussianLayout(std::vector<std::string> missing) {
    std::string names;
    for (const auto& name : missing) names += (names.empty() ? "" : ", ") + name;
    Failure failure(FailureKind::notGaussianLayout, "PLY is not a Gaussian model (missing " + names + ")");
    failure.missing = std::move(missing);
    return failure;
}

PLYCheck::Failure PLYCheck::Failure::sizeMismatch(int64_t expected, int64_t actual) {
    Failure failure(FailureKind::sizeMismatch,
                    "PLY is incomplete (" + std::to_string(actual) + " of " + std::to_string(expected) + " bytes)");
    failure.expected = expected;
    failure.actual = actual;
    return failure;
}

PLYCheck::Failure PLYCheck::Failure::noHeader() { return Failure(FailureKind::noHeader, "PLY header is incomplete"); }

PLYCheck::Failure PLYCheck::Failure::notBinaryLittleEndian() {
    return Failure(FailureKind::notBinaryLittleEndian, "PLY is not binary little-endian");
}

PLYCheck::Failure PLYCheck::Failure::noVertices() { return Failure(FailureKind::noVertices, "PLY has no vertices"); }

PLYCheck::Failure PLYCheck::Failure::invalidHeader(const std::string& reason) {
    return Failure(FailureKind::invalidHeader, "PLY header is invalid: " + reason);
}

const std::set<std::string>& PLYCheck::requiredProperties() {
    static const std::set<std::string> names = {"x",      "y",       "z",       "f_dc_0",  "f_dc_1",
                                                "f_dc_2", "opacity", "scale_0", "scale_1", "scale_2",
                                                "rot_0",  "rot_1",   "rot_2",   "rot_3"};
    return names;
}

PLYCheck::Layout PLYCheck::validate(const std::filesystem::path& file) {
    // A FIFO or a device is as unreadable as a missing file: it would block
    // the check or feed it without end.
    auto opened = core::RegularFile::openForReading(file);
    if (!opened.isOpen()) throw Failure::unreadable(file.string(), opened.error());
    const int descriptor = opened.descriptor();

    std::string head(maximumHeaderBytes, '\0');
    size_t filled = 0;
    while (filled < head.size()) {
        ssize_t count = ::read(descriptor, head.data() + filled, head.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) core::FileError::throwErrno("Could not read", file);
        if (count == 0) break;
        filled += size_t(count);
    }
    head.resize(filled);

    size_t marker = head.find("end_header\n");
    if (marker == std::string::npos) throw Failure::noHeader();
    const int64_t headerSize = int64_t(marker + 11);
    head.resize(size_t(headerSize));
    std::string header = core::decodeUTF8Lossy(head);
    if (header.find("format binary_little_endian 1.0") == std::string::npos) throw Failure::notBinaryLittleEndian();

    plykit::PLYHeader parsed;
    try {
        parsed = plykit::PLYHeader::decodeASCII(header);
    } catch (const plykit::PLYHeader::ASCIIDecodeError& error) {
        throw Failure::invalidHeader(error.what());
    }

    // Every vertex property is a 4-byte float with a name of its own; the
    // properties of other elements are not looked at.
    int64_t vertexCount = -1;
    int64_t bytesPerVertex = 0;
    std::set<std::string, std::less<>> names;
    for (const plykit::PLYHeader::Element& element : parsed.elements) {
        if (element.name != "vertex") continue;
        vertexCount = int64_t(element.count);
        for (const plykit::PLYHeader::Property& property : element.properties) {
            const bool isFloat = !property.type.isList() &&
                                 property.type.valueType() == plykit::PLYHeader::PrimitivePropertyType::float32;
            if (!isFloat || names.contains(property.name)) {
                std::string line = property.description();
                line.pop_back();  // its line feed
                throw Failure::unsupportedProperty(line);
            }
            names.insert(property.name);
            bytesPerVertex += 4;
        }
    }
    if (vertexCount < 1 || bytesPerVertex < 1) throw Failure::noVertices();

    std::vector<std::string> missing;
    for (const auto& name : requiredProperties())  // a std::set: already in plain string order
        if (!names.contains(name)) missing.push_back(name);
    if (!missing.empty()) throw Failure::notGaussianLayout(std::move(missing));

    int64_t expectedSize = 0;
    if (__builtin_mul_overflow(vertexCount, bytesPerVertex, &expectedSize) ||
        __builtin_add_overflow(expectedSize, headerSize, &expectedSize))
        expectedSize = std::numeric_limits<int64_t>::max();

    off_t actualSize = ::lseek(descriptor, 0, SEEK_END);
    if (actualSize < 0) core::FileError::throwErrno("Could not measure", file);
    if (int64_t(actualSize) != expectedSize) throw Failure::sizeMismatch(expectedSize, int64_t(actualSize));
    return Layout{vertexCount, bytesPerVertex, std::move(head), std::move(parsed)};
}

}  // namespace tessaron::engines
