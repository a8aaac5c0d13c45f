#include "engines/COLMAPVersion.hpp"

#include <array>
#include <cstdio>

namespace tessaron::engines {

namespace {

// The version table. COLMAP 3.12 renamed the SIFT option sections after the
// feature type became selectable, counted snapshots in frames instead of
// images, and brought rig_configurator and global_mapper.
constexpr int renamedInMajor = 3;
constexpr int renamedInMinor = 12;

struct OptionRename {
    std::string_view current;
    std::string_view older;
    bool wholeSection;  // a "--Section." prefix, else one exact option
};

constexpr std::array<OptionRename, 3> optionRenames = {{
    {"--FeatureExtraction.", "--SiftExtraction.", true},
    {"--FeatureMatching.", "--SiftMatching.", true},
    {"--Mapper.snapshot_frames_freq", "--Mapper.snapshot_images_freq", false},
}};

constexpr std::array<std::string_view, 2> subcommandsSinceRename = {"rig_configurator", "global_mapper"};

}  // namespace

COLMAPVersion COLMAPVersion::fromHelpOutput(const std::vector<std::string>& lines) {
    COLMAPVersion version;
    for (const std::string& line : lines) {
        int major = 0, minor = 0, patch = 0;
        const int fields = std::sscanf(line.c_str(), " COLMAP %d.%d.%d", &major, &minor, &patch);
        if (!version.known && fields >= 2 && major >= 0 && minor >= 0) {
            version.known = true;
            version.major = major;
            version.minor = minor;
            version.patch = fields == 3 ? patch : 0;
        }
        if (line.find("without CUDA") != std::string::npos) version.withoutCUDA = true;
    }
    return version;
}

std::string COLMAPVersion::text() const {
    if (!known) return "unknown";
    std::string result = std::to_string(major) + "." + std::to_string(minor);
    if (patch != 0) result += "." + std::to_string(patch);
    return result;
}

bool COLMAPVersion::isBefore(int otherMajor, int otherMinor) const {
    return known && (major < otherMajor || (major == otherMajor && minor < otherMinor));
}

std::string COLMAPVersion::optionName(std::string_view option) const {
    if (!isBefore(renamedInMajor, renamedInMinor)) return std::string(option);
    for (const OptionRename& rename : optionRenames) {
        if (rename.wholeSection && option.starts_with(rename.current))
            return std::string(rename.older) + std::string(option.substr(rename.current.size()));
        if (!rename.wholeSection && option == rename.current) return std::string(rename.older);
    }
    return std::string(option);
}

bool COLMAPVersion::hasSubcommand(std::string_view name) const {
    if (!isBefore(renamedInMajor, renamedInMinor)) return true;
    for (std::string_view missing : subcommandsSinceRename) {
        if (name == missing) return false;
    }
    return true;
}

}  // namespace tessaron::engines
