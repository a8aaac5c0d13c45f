#pragma once

#include <cstdint>
#include <string>

#include "core/Error.hpp"

namespace spz {

// The one failure type of the SPZ module. `value()` carries the number a case
// names (the version, point count or degree read); what() says what happened.
class SPZError : public tessaron::core::Error {
public:
    enum class Kind {
        unsupportedVersion,
        tooManyPoints,
        unsupportedSHDegree,
        decompressionFailed,
        compressionFailed,
        invalidHeader,
        readError,
        writeError,
        invalidData,
    };

    SPZError(Kind kind, const std::string& description, std::int64_t value = 0)
        : Error(description), kind_(kind), value_(value) {}

    Kind kind() const noexcept { return kind_; }
    std::int64_t value() const noexcept { return value_; }

    static SPZError unsupportedVersion(std::int64_t version) {
        return {Kind::unsupportedVersion,
                "Unsupported SPZ version " + std::to_string(version) + " (versions 1 to 3 can be read)", version};
    }
    static SPZError tooManyPoints(std::int64_t count) {
        return {Kind::tooManyPoints,
                "Too many points for an SPZ file: " + std::to_string(count) + " (at most 10000000)", count};
    }
    static SPZError unsupportedSHDegree(std::int64_t degree) {
        return {Kind::unsupportedSHDegree,
                "Unsupported spherical-harmonic degree in SPZ file: " + std::to_string(degree), degree};
    }
    static SPZError decompressionFailed(const std::string& detail) {
        return {Kind::decompressionFailed, "SPZ decompression failed: " + detail};
    }
    static SPZError compressionFailed(const std::string& detail) {
        return {Kind::compressionFailed, "SPZ compression failed: " + detail};
    }
    static SPZError invalidHeader(const std::string& detail) {
        return {Kind::invalidHeader, "Invalid SPZ header: " + detail};
    }
    static SPZError readError(const std::string& detail) { return {Kind::readError, "SPZ stream is too short: " + detail}; }
    static SPZError invalidData(const std::string& detail) { return {Kind::invalidData, "Invalid SPZ data: " + detail}; }

private:
    Kind kind_;
    std::int64_t value_;
};

}  // namespace spz
