#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace tessaron::input {

// How a video file was recognised as 360° footage. Detection reads the file
// name, a bounded walk over the container's boxes and the first video
// stream's size; it never decodes video and never fails.
struct Spherical360Detection {
    enum class Kind {
        equirectangular,        // the file declares an equirectangular projection
        proprietaryContainer,   // a camera maker's raw container, by extension
        likelyEquirectangular,  // no metadata, but 2:1 and at least 3840 wide
        dualFisheye,            // a raw dual-fisheye recording
    };
    enum class MetadataSource {
        sv3dEquiBox,        // an "equi" projection box (sv3d / proj)
        xmpSphericalVideo,  // a spherical-video "uuid" box with matching XMP
    };

    Kind kind = Kind::likelyEquirectangular;
    MetadataSource source = MetadataSource::sv3dEquiBox;  // for equirectangular
    std::string extension;                                // for proprietaryContainer, lower case

    static Spherical360Detection equirectangular(MetadataSource source) { return {Kind::equirectangular, source, {}}; }
    static Spherical360Detection proprietaryContainer(std::string extension) {
        return {Kind::proprietaryContainer, MetadataSource::sv3dEquiBox, std::move(extension)};
    }
    static Spherical360Detection likelyEquirectangular() { return {Kind::likelyEquirectangular, {}, {}}; }
    static Spherical360Detection dualFisheye() { return {Kind::dualFisheye, {}, {}}; }

    // Cases and their payloads.
    friend bool operator==(const Spherical360Detection& a, const Spherical360Detection& b) {
        if (a.kind != b.kind) return false;
        if (a.kind == Kind::equirectangular) return a.source == b.source;
        if (a.kind == Kind::proprietaryContainer) return a.extension == b.extension;
        return true;
    }

    // Absent when nothing suggests 360° video.
    static std::optional<Spherical360Detection> detect(const std::filesystem::path& url);

    // The projection metadata found by a walk of at most 4096 box headers,
    // 12 levels deep; an "equi" box wins over XMP wherever it lies.
    static std::optional<MetadataSource> scanContainerMetadata(const std::filesystem::path& url);

    // One level of the walk over [from, to). `budget` and `found` are shared
    // by all levels of one scan.
    static void walkBoxes(std::FILE* handle, std::uint64_t from, std::uint64_t to, int depth, int& budget,
                          std::optional<MetadataSource>& found);
};

// The 360 inspector's status line for a detection (absent: manual mode).
std::string inspectorStatusText(const std::optional<Spherical360Detection>& detection);

}  // namespace tessaron::input
