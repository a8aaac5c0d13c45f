#include "input/Spherical360Detection.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <map>
#include <memory>

#include "input/VideoSource.hpp"

namespace tessaron::input {

namespace {

// The id of Google's spherical-video "uuid" box, ffcc8263-f855-4a93-8814-587a02521fdd.
constexpr std::array<unsigned char, 16> sphericalVideoBoxId{0xff, 0xcc, 0x82, 0x63, 0xf8, 0x55, 0x4a, 0x93,
                                                            0x88, 0x14, 0x58, 0x7a, 0x02, 0x52, 0x1f, 0xdd};
constexpr std::uint64_t maximumXMPBytes = 8192;
constexpr int maximumDepth = 12;
constexpr int boxBudget = 4096;

// Bytes between a container box's header and its first child.
const std::map<std::string, std::uint64_t>& containerSkips() {
    static const std::map<std::string, std::uint64_t> skips{
        {"moov", 0}, {"trak", 0}, {"mdia", 0},  {"minf", 0},  {"stbl", 0},  {"sv3d", 0},
        {"proj", 0}, {"stsd", 8}, {"avc1", 78}, {"hvc1", 78}, {"hev1", 78},
    };
    return skips;
}

bool seekTo(std::FILE* handle, std::uint64_t offset) {
    return offset <= std::uint64_t(INT64_MAX) && fseeko(handle, off_t(offset), SEEK_SET) == 0;
}

std::size_t readUpTo(std::FILE* handle, unsigned char* buffer, std::size_t count) {
    return std::fread(buffer, 1, count, handle);
}

std::uint64_t bigEndian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

bool isValidUTF8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length;
        std::uint32_t codePoint;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// The XMP of a spherical-video "uuid" box declares an equirectangular sphere.
bool isSphericalXMP(std::FILE* handle, std::uint64_t offset, std::uint64_t header, std::uint64_t size) {
    unsigned char id[16];
    if (!seekTo(handle, offset + header) || readUpTo(handle, id, sizeof id) != sizeof id) return false;
    if (!std::equal(id, id + 16, sphericalVideoBoxId.begin())) return false;
    const std::uint64_t length = std::min(size - header - 16, maximumXMPBytes);
    if (length == 0 || !seekTo(handle, offset + header + 16)) return false;
    std::string text(std::size_t(length), '\0');
    text.resize(readUpTo(handle, reinterpret_cast<unsigned char*>(text.data()), text.size()));
    if (!isValidUTF8(text)) return false;
    if (text.find("SphericalVideo") == std::string::npos) return false;
    return text.find("ProjectionType") == std::string::npos || text.find("equirectangular") != std::string::npos;
}

}  // namespace

void Spherical360Detection::walkBoxes(std::FILE* handle, std::uint64_t from, std::uint64_t to, int depth, int& budget,
                                      std::optional<MetadataSource>& found) {
    auto foundEqui = [&] { return found == MetadataSource::sv3dEquiBox; };
    if (depth > maximumDepth || foundEqui()) return;
    std::uint64_t offset = from;
    while (offset < to && to - offset >= 8 && budget >= 1 && !foundEqui()) {
        --budget;
        unsigned char head[8];
        if (!seekTo(handle, offset) || readUpTo(handle, head, 8) != 8) return;
        const std::uint64_t size32 = bigEndian(head, 4);
        const std::string type(reinterpret_cast<const char*>(head + 4), 4);  // Latin-1 never fails

        std::uint64_t size;
        std::uint64_t header = 8;
        const std::uint64_t remaining = to - offset;
        if (size32 == 0) {
            size = remaining;  // runs to the end of the enclosing range
        } else if (size32 == 1) {
            unsigned char large[8];
            if (!seekTo(handle, offset + 8) || readUpTo(handle, large, 8) != 8) return;
            size = bigEndian(large, 8);
            header = 16;
            if (size < 16) return;
        } else if (size32 < 8) {
            return;
        } else {
            size = size32;
        }
        // Checked before adding, so a huge 64-bit size cannot wrap around.
        if (size > remaining) return;
        const std::uint64_t end = offset + size;

        if (type == "equi") {
            found = MetadataSource::sv3dEquiBox;
            return;
        }
        if (type == "uuid" && size >= header + 16) {
            if (isSphericalXMP(handle, offset, header, size) && !found) found = MetadataSource::xmpSphericalVideo;
        } else if (auto container = containerSkips().find(type); container != containerSkips().end()) {
            const std::uint64_t skip = container->second;
            if (size > header + skip) walkBoxes(handle, offset + header + skip, end, depth + 1, budget, found);
        }
        offset = end;
    }
}

std::optional<Spherical360Detection::MetadataSource> Spherical360Detection::scanContainerMetadata(
    const std::filesystem::path& url) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> handle(std::fopen(url.c_str(), "rb"), &std::fclose);
    if (!handle) return std::nullopt;
    if (fseeko(handle.get(), 0, SEEK_END) != 0) return std::nullopt;
    const off_t fileSize = ftello(handle.get());
    if (fileSize < 0) return std::nullopt;
    std::optional<MetadataSource> found;
    int budget = boxBudget;
    walkBoxes(handle.get(), 0, std::uint64_t(fileSize), 0, budget, found);
    return found;
}

std::optional<Spherical360Detection> Spherical360Detection::detect(const std::filesystem::path& url) {
    std::string extension = url.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (extension == "osv") return dualFisheye();
    if (extension == "insv" || extension == "360") return proprietaryContainer(extension);
    if (auto source = scanContainerMetadata(url)) return equirectangular(*source);

    std::error_code error;
    if (!std::filesystem::is_regular_file(url, error)) return std::nullopt;
    try {
        VideoSource video(url);
        const long width = std::lround(double(video.naturalWidth()));
        const long height = std::lround(double(video.naturalHeight()));
        if (height >= 1 && width == 2 * height && width >= 3840) return likelyEquirectangular();
    } catch (const VideoSource::VideoError&) {
        // Not a readable video: no sign of 360° footage.
    }
    return std::nullopt;
}

std::string inspectorStatusText(const std::optional<Spherical360Detection>& detection) {
    if (!detection) return "Manual 360 mode";
    switch (detection->kind) {
        case Spherical360Detection::Kind::equirectangular: return "Equirectangular metadata detected";
        case Spherical360Detection::Kind::proprietaryContainer:
            return "Proprietary ." + detection->extension + " — export an equirectangular MP4 first";
        case Spherical360Detection::Kind::likelyEquirectangular: return "2:1 aspect — likely equirectangular";
        case Spherical360Detection::Kind::dualFisheye: return "Raw dual-fisheye .osv detected";
    }
    return "Manual 360 mode";
}

}  // namespace tessaron::input
