#include "engines/PLYCheck.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <string_view>
#include <unistd.h>

#include "core/RegularFile.hpp"
#include "engines/TextDecoding.hpp"

namespace tessaron::engines {

PLYCheck::Failure PLYCheck::Failure::unreadable(const std::string& path) {
    Failure failure(FailureKind::unreadable, "Cannot read " + path);
    failure.path = path;
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

const std::set<std::string>& PLYCheck::requiredProperties() {
    static const std::set<std::string> names = {"x",      "y",       "z",       "f_dc_0",  "f_dc_1",
                                                "f_dc_2", "opacity", "scale_0", "scale_1", "scale_2",
                                                "rot_0",  "rot_1",   "rot_2",   "rot_3"};
    return names;
}

namespace {

// Pieces of `text` between `separator`s, empty pieces dropped.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

}  // namespace

PLYCheck::Layout PLYCheck::validate(const std::filesystem::path& file) {
    // A FIFO or a device is as unreadable as a missing file: it would block
    // the check or feed it without end.
    auto opened = core::RegularFile::openForReading(file);
    if (!opened.isOpen()) throw Failure::unreadable(file.string());
    const int descriptor = opened.descriptor();

    // A failed read leaves what was read so far; the header search then fails.
    std::string head(maximumHeaderBytes, '\0');
    size_t filled = 0;
    while (filled < head.size()) {
        ssize_t count = ::read(descriptor, head.data() + filled, head.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        filled += size_t(count);
    }
    head.resize(filled);

    size_t marker = head.find("end_header\n");
    if (marker == std::string::npos) throw Failure::noHeader();
    const int64_t headerSize = int64_t(marker + 11);
    std::string header = decodeUTF8Lossy(std::string_view(head).substr(0, size_t(headerSize)));
    if (header.find("format binary_little_endian 1.0") == std::string::npos) throw Failure::notBinaryLittleEndian();

    bool inVertexElement = false;
    int64_t vertexCount = -1;
    int64_t bytesPerVertex = 0;
    std::set<std::string, std::less<>> names;
    for (std::string_view line : split(header, '\n')) {
        std::vector<std::string_view> words = split(line, ' ');
        if (words.empty()) continue;
        if (words[0] == "element") {
            inVertexElement = words.size() == 3 && words[1] == "vertex";
            if (inVertexElement) vertexCount = parseDecimalInteger(words[2]).value_or(-1);
        } else if (words[0] == "property" && inVertexElement) {
            bool isFloat = words.size() == 3 && (words[1] == "float" || words[1] == "float32");
            if (!isFloat || names.contains(words[2])) throw Failure::unsupportedProperty(std::string(line));
            names.emplace(words[2]);
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
    if (actualSize < 0) FileError::throwErrno("Could not measure", file);
    if (int64_t(actualSize) != expectedSize) throw Failure::sizeMismatch(expectedSize, int64_t(actualSize));
    return Layout{vertexCount, bytesPerVertex};
}

}  // namespace tessaron::engines
