#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "PlyKit/PLYHeader.hpp"
#include "core/Error.hpp"
#include "core/FileError.hpp"

namespace tessaron::engines {

// Whether a file is a complete binary little-endian Gaussian PLY, judged from
// its header (at most the first 64 KiB) and its size alone, so it costs the
// same for any file size. Never writes; any number may run at once.
class PLYCheck {
public:
    enum class FailureKind {
        unreadable,
        unsupportedProperty,
        notGaussianLayout,
        sizeMismatch,
        noHeader,
        notBinaryLittleEndian,
        noVertices,
        invalidHeader
    };

    // what() is the exact user-facing text of each case:
    //   unreadable           "Cannot read <path>"
    //   unsupportedProperty  "Unsupported PLY property: <whole header line>"
    //   notGaussianLayout    "PLY is not a Gaussian model (missing <names joined by ", ">)"
    //   sizeMismatch         "PLY is incomplete (<actual> of <expected> bytes)"
    //   noHeader             "PLY header is incomplete"
    //   notBinaryLittleEndian "PLY is not binary little-endian"
    //   noVertices           "PLY has no vertices"
    //   invalidHeader        "PLY header is invalid: <PlyKit's reason>"
    class Failure : public core::ErrorOf<FailureKind> {
    public:
        static Failure unreadable(const std::string& path, std::error_code reason = {});
        static Failure unsupportedProperty(const std::string& line);
        static Failure notGaussianLayout(std::vector<std::string> missing);
        static Failure sizeMismatch(int64_t expected, int64_t actual);
        static Failure noHeader();
        static Failure notBinaryLittleEndian();
        static Failure noVertices();
        static Failure invalidHeader(const std::string& reason);

        std::string path;                  // unreadable
        std::error_code reason;            // unreadable: why, for a caller that shows more than the message
        std::string line;                  // unsupportedProperty
        std::vector<std::string> missing;  // notGaussianLayout, sorted
        int64_t expected = 0, actual = 0;  // sizeMismatch

    private:
        using core::ErrorOf<FailureKind>::ErrorOf;
    };

    struct Layout {
        int64_t vertexCount = 0;
        int64_t bytesPerVertex = 0;
        std::string headerText;     // every byte up to and including "end_header\n"
        plykit::PLYHeader header;   // as PlyKit reads it
        bool operator==(const Layout&) const = default;
    };

    // The 14 vertex properties of a Gaussian: position, DC colour, opacity,
    // scale and rotation.
    static const std::set<std::string>& requiredProperties();

    // The layout of a file that passes; throws Failure otherwise, or
    // FileError when the file cannot be read or measured.
    static Layout validate(const std::filesystem::path& file);

    static constexpr size_t maximumHeaderBytes = 65536;
};

}  // namespace tessaron::engines
