// Sub-commands that drive input preparation from the shell: frame
// extraction, 360° crops, detection, sharpness, person masks and rig files.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "ToolCommand.hpp"
#include "core/AtomicFile.hpp"
#include "core/NumberText.hpp"
#include "input/CropLayout.hpp"
#include "input/EquirectProjector.hpp"
#include "input/PersonMasker.hpp"
#include "input/Spherical360Detection.hpp"
#include "input/VideoFrameExtractor.hpp"
#include "input/VideoSource.hpp"

namespace tessaron::tool {

namespace {

using namespace tessaron::input;
namespace fs = std::filesystem;

// Positional arguments plus "--name value" options.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;

    static std::optional<Arguments> parse(const std::vector<std::string>& arguments) {
        Arguments parsed;
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            if (arguments[i].rfind("--", 0) == 0) {
                if (i + 1 >= arguments.size()) return std::nullopt;
                parsed.options[arguments[i].substr(2)] = arguments[i + 1];
                ++i;
            } else {
                parsed.positional.push_back(arguments[i]);
            }
        }
        return parsed;
    }

    std::string text(const std::string& name, const std::string& fallback) const {
        auto found = options.find(name);
        return found == options.end() ? fallback : found->second;
    }

    double number(const std::string& name, double fallback) const {
        auto found = options.find(name);
        if (found == options.end()) return fallback;
        double value = 0;
        if (!core::parseDouble(found->second, value)) throw core::Error("--" + name + " needs a number");
        return value;
    }
};

CropLayout layoutFrom(const Arguments& arguments) {
    const auto preset = cropLayoutPresetFromString(arguments.text("layout", "fullSphere16"));
    if (!preset) throw core::Error("--layout is fullSphere16 or horizontal8");
    return CropLayout(*preset, int(arguments.number("size", 2048)), arguments.number("fov", 100));
}

VideoFrameExtractor::Progress printingProgress() {
    VideoFrameExtractor::Progress progress;
    progress.onLog = [](const std::string& line) { std::cout << line << "\n" << std::flush; };
    return progress;
}

// An image file, or the frame a video shows at `seconds` (turned upright).
cv::Mat loadPanorama(const fs::path& file, double seconds) {
    cv::Mat image = cv::imread(file.string(), cv::IMREAD_COLOR);
    if (!image.empty()) return image;
    VideoSource video(file);
    return video.frameAt(seconds, 1.0);
}

int extract(const std::vector<std::string>& raw) {
    const auto arguments = Arguments::parse(raw);
    if (!arguments || arguments->positional.size() != 2) return usageError("extract needs <video> <output-folder>");
    const bool filter = arguments->options.count("sharpness") > 0;
    const auto kept = VideoFrameExtractor::extractFrames(
        arguments->positional[0], arguments->positional[1], std::int64_t(arguments->number("stride", 10)), filter,
        filter ? arguments->number("sharpness", 50) : 0, printingProgress());
    std::cout << "✓ Extracted " << kept << " frames.\n";
    return 0;
}

int extract360(const std::vector<std::string>& raw) {
    const auto arguments = Arguments::parse(raw);
    if (!arguments || arguments->positional.size() != 2) return usageError("extract360 needs <video> <output-folder>");
    const CropLayout layout = layoutFrom(*arguments);
    const bool filter = arguments->options.count("sharpness") > 0;
    std::optional<PersonMasker> masker;
    std::optional<fs::path> maskDir;
    if (arguments->options.count("masks")) {
        const auto mode = personMaskModeFromString(arguments->text("masks", ""));
        if (!mode || *mode == PersonMaskMode::off) return usageError("--masks is allPeople or operatorOnly");
        masker.emplace(*mode);
        maskDir = arguments->text("mask-dir", (fs::path(arguments->positional[1]).parent_path() / "masks").string());
    }
    std::int64_t previews = 0;
    const auto rigFrames = VideoFrameExtractor::extract360Frames(
        arguments->positional[0], arguments->positional[1], layout, std::int64_t(arguments->number("stride", 10)),
        filter, filter ? arguments->number("sharpness", 50) : 0, masker ? &*masker : nullptr, maskDir,
        [&](const VideoFrameExtractor::Conversion360Preview&) { ++previews; }, printingProgress());
    std::cout << "✓ Extracted " << rigFrames << " rig frames → " << rigFrames * layout.cameraCount() << " crop images ("
              << previews << " previews).\n";
    return 0;
}

int detect360(const std::vector<std::string>& raw) {
    if (raw.size() != 1) return usageError("detect360 needs <file>");
    const auto detection = Spherical360Detection::detect(raw[0]);
    std::cout << inspectorStatusText(detection) << "\n";
    return 0;
}

int sharpness(const std::vector<std::string>& raw) {
    if (raw.empty()) return usageError("sharpness needs <image>...");
    for (const auto& file : raw) {
        const cv::Mat image = cv::imread(file, cv::IMREAD_COLOR);
        if (image.empty()) throw core::Error("Could not read the image " + file);
        cv::Mat bgra;
        cv::cvtColor(image, bgra, cv::COLOR_BGR2BGRA);
        std::cout << core::fixedText(VideoFrameExtractor::sharpness(bgra), 2) << "\t" << file << "\n";
    }
    return 0;
}

int mask(const std::vector<std::string>& raw) {
    const auto arguments = Arguments::parse(raw);
    if (!arguments || arguments->positional.size() != 2) return usageError("mask needs <image> <output.png>");
    const auto mode = personMaskModeFromString(arguments->text("mode", "allPeople"));
    if (!mode || *mode == PersonMaskMode::off) return usageError("--mode is allPeople or operatorOnly");
    const cv::Mat image = cv::imread(arguments->positional[0], cv::IMREAD_COLOR);
    if (image.empty()) throw core::Error("Could not read the image " + arguments->positional[0]);
    PersonMasker masker(*mode);
    std::optional<CropSpec> view;
    if (arguments->options.count("pitch")) view = CropSpec{0, 0, arguments->number("pitch", 0), 100, image.cols};
    const auto result =
        *mode == PersonMaskMode::allPeople ? masker.maskAllPeople(image) : masker.maskOperator(image, view);
    PersonMasker::writePNG(result.mask, arguments->positional[1]);
    std::cout << masker.segmenterName() << ": " << (result.peopleFound ? "people masked" : "nobody found") << "\n";
    return 0;
}

int project(const std::vector<std::string>& raw) {
    const auto arguments = Arguments::parse(raw);
    if (!arguments || arguments->positional.size() != 2)
        return usageError("project needs <panorama-image-or-video> <output-folder>");
    const CropLayout layout = layoutFrom(*arguments);
    const cv::Mat panorama = loadPanorama(arguments->positional[0], arguments->number("time", 0.2));
    EquirectProjector projector(layout);
    const auto crops = projector.project(panorama);
    fs::create_directories(arguments->positional[1]);
    for (std::size_t i = 0; i < crops.size(); ++i)
        VideoFrameExtractor::writeJPEG(
            crops[i], fs::path(arguments->positional[1]) / ("cam" + std::to_string(layout.crops[i].id) + ".jpg"));
    std::cout << crops.size() << " crops of " << layout.crops.front().size << " px from a " << panorama.cols << " × "
              << panorama.rows << " panorama\n";
    return 0;
}

int rig(const std::vector<std::string>& raw) {
    const auto arguments = Arguments::parse(raw);
    if (!arguments || arguments->positional.size() != 2) return usageError("rig needs <image-folder> <output-folder>");
    const CropLayout layout = layoutFrom(*arguments);
    // The frame names are those of the reference camera's folder, as COLMAP's runner lists them.
    std::vector<std::string> frameNames;
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator(fs::path(arguments->positional[0]) / layout.referenceCameraName(), error)) {
        std::string name = entry.path().filename().string();
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        for (const char* suffix : {".jpg", ".jpeg", ".png"})
            if (lower.size() >= std::strlen(suffix) &&
                lower.compare(lower.size() - std::strlen(suffix), std::string::npos, suffix) == 0)
                frameNames.push_back(name);
    }
    std::sort(frameNames.begin(), frameNames.end());
    const auto lines = layout.matchPairLines(frameNames);
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    if (lines.empty()) text = "\n";
    const fs::path output = arguments->positional[1];
    fs::create_directories(output);
    core::AtomicFile::write(output / "rig_config.json", layout.rigConfigJSON());
    core::AtomicFile::write(output / "match_pairs.txt", text);
    std::cout << "camera params " << layout.cameraParams() << "\n"
              << "Match plan: " << frameNames.size() << " rig frames × " << layout.cameraCount() << " crops → "
              << lines.size() << " pairs\n";
    return 0;
}

const ToolCommand::Registration extractCommand{
    {"extract", "<video> <output-folder> [--stride N] [--sharpness THRESHOLD]: video frames as JPEG files", extract}};
const ToolCommand::Registration extract360Command{
    {"extract360",
     "<video> <images-folder> [--stride N] [--layout fullSphere16|horizontal8] [--size PX] [--fov DEG] "
     "[--sharpness T] [--masks allPeople|operatorOnly] [--mask-dir DIR]: 360° video into rig crops",
     extract360}};
const ToolCommand::Registration detect360Command{
    {"detect360", "<file>: how a file is recognised as 360° video", detect360}};
const ToolCommand::Registration sharpnessCommand{
    {"sharpness", "<image>...: the blur filter's score of each image", sharpness}};
const ToolCommand::Registration maskCommand{
    {"mask", "<image> <output.png> [--mode allPeople|operatorOnly] [--pitch DEG]: a person mask", mask}};
const ToolCommand::Registration projectCommand{{"project",
                                                "<panorama-image-or-video> <output-folder> [--layout L] [--size PX] "
                                                "[--fov DEG] [--time S]: the crops of one frame",
                                                project}};
const ToolCommand::Registration rigCommand{
    {"rig", "<image-folder> <output-folder> [--layout L] [--size PX] [--fov DEG]: rig_config.json and match_pairs.txt",
     rig}};

}  // namespace

}  // namespace tessaron::tool
