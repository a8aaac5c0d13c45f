#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatRenderer/HeadlessGLContext.hpp"
#include "SplatRenderer/OffscreenFramebuffer.hpp"
#include "SplatRenderer/SplatRenderer.hpp"
#include "SplatRenderer/StillFrame.hpp"
#include "ToolCommand.hpp"
#include "generators/HeavySplatScene.hpp"

namespace tessaron::tool {

namespace {

using namespace splatrenderer;

// "1,2,3" (or with `count` values) to floats; nothing when malformed.
std::optional<std::vector<float>> parseFloats(const std::string& text, std::size_t minimum, std::size_t maximum) {
    std::vector<float> values;
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    std::string item;
    while (std::getline(stream, item, ',')) {
        std::istringstream number(item);
        number.imbue(std::locale::classic());
        float value = 0;
        if (!(number >> value) || !number.eof() || !std::isfinite(value)) return std::nullopt;
        values.push_back(value);
    }
    if (values.size() < minimum || values.size() > maximum) return std::nullopt;
    return values;
}

struct RenderOptions {
    std::string input;
    std::string output;
    int width = 0;
    int height = 0;
    Vector3f eye{};
    Vector3f target{0, 0, 0};
    Vector3f up{0, -1, 0};  // scenes are x right, y down, z forward
    float fieldOfViewDegrees = 60;
    SplatRenderer::ClearColor background{0, 0, 0, 1};
    bool depth = false;
    bool highQualityDepth = false;
    std::optional<std::int64_t> maxBufferBytes;
    std::optional<std::int64_t> fragmentBudget;
};

const char* usageText =
    "<file> --size WxH --camera ex,ey,ez[,tx,ty,tz] --out image.png [--up x,y,z] [--fov degrees] "
    "[--background r,g,b[,a]] [--depth] [--high-quality-depth] [--max-buffer-bytes N] [--fragment-budget N]: "
    "draw a splat file headless (EGL) into a PNG; a frame whose splats would cover more than the budget's pixels "
    "(0: no bound; the device's default when not given) is drawn at a lower resolution";

std::optional<RenderOptions> parseOptions(const std::vector<std::string>& arguments) {
    RenderOptions options;
    bool hasCamera = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto next = [&]() -> std::optional<std::string> {
            if (i + 1 >= arguments.size()) return std::nullopt;
            return arguments[++i];
        };
        if (argument == "--depth") {
            options.depth = true;
        } else if (argument == "--high-quality-depth") {
            options.depth = options.highQualityDepth = true;
        } else if (argument == "--size") {
            auto value = next();
            int width = 0, height = 0;
            char separator = 0, extra = 0;
            if (!value || std::sscanf(value->c_str(), "%d%c%d%c", &width, &separator, &height, &extra) != 3 ||
                separator != 'x' || width <= 0 || height <= 0 || width > 16384 || height > 16384)
                return std::nullopt;
            options.width = width;
            options.height = height;
        } else if (argument == "--camera") {
            auto value = next();
            auto numbers = value ? parseFloats(*value, 3, 6) : std::nullopt;
            if (!numbers || (numbers->size() != 3 && numbers->size() != 6)) return std::nullopt;
            options.eye = {(*numbers)[0], (*numbers)[1], (*numbers)[2]};
            if (numbers->size() == 6) options.target = {(*numbers)[3], (*numbers)[4], (*numbers)[5]};
            hasCamera = true;
        } else if (argument == "--up") {
            auto value = next();
            auto numbers = value ? parseFloats(*value, 3, 3) : std::nullopt;
            if (!numbers) return std::nullopt;
            options.up = {(*numbers)[0], (*numbers)[1], (*numbers)[2]};
        } else if (argument == "--fov") {
            auto value = next();
            auto numbers = value ? parseFloats(*value, 1, 1) : std::nullopt;
            if (!numbers || (*numbers)[0] <= 0 || (*numbers)[0] >= 180) return std::nullopt;
            options.fieldOfViewDegrees = (*numbers)[0];
        } else if (argument == "--background") {
            auto value = next();
            auto numbers = value ? parseFloats(*value, 3, 4) : std::nullopt;
            if (!numbers) return std::nullopt;
            options.background = {(*numbers)[0], (*numbers)[1], (*numbers)[2], numbers->size() == 4 ? (*numbers)[3] : 1.0};
        } else if (argument == "--max-buffer-bytes") {
            auto value = next();
            auto numbers = value ? parseFloats(*value, 1, 1) : std::nullopt;
            if (!numbers || (*numbers)[0] < 64) return std::nullopt;
            options.maxBufferBytes = std::int64_t((*numbers)[0]);
        } else if (argument == "--fragment-budget") {
            auto value = next();
            std::size_t used = 0;
            long long budget = -1;
            try {
                if (value) budget = std::stoll(*value, &used);
            } catch (const std::exception&) {
                return std::nullopt;
            }
            if (!value || used != value->size() || budget < 0) return std::nullopt;
            options.fragmentBudget = budget;
        } else if (argument == "--out") {
            auto value = next();
            if (!value) return std::nullopt;
            options.output = *value;
        } else if (!argument.starts_with("--") && options.input.empty()) {
            options.input = argument;
        } else {
            return std::nullopt;
        }
    }
    if (options.input.empty() || options.output.empty() || options.width == 0 || !hasCamera) return std::nullopt;
    return options;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int runRender(const std::vector<std::string>& arguments) {
    const auto options = parseOptions(arguments);
    if (!options) return usageError(std::string("usage: render ") + usageText);

    HeadlessGLContext context;
    GPUDevice device = GPUDevice::current();
    if (options->maxBufferBytes) device = device.cappedAt(*options->maxBufferBytes);

    SplatRenderer::Configuration configuration;
    configuration.depthFormat = options->depth ? OffscreenFramebuffer::depthFormat : 0;
    configuration.highQualityDepth = options->highQualityDepth;
    configuration.clearColor = options->background;
    configuration.fragmentBudget = options->fragmentBudget;
    SplatRenderer renderer(device, configuration);

    // Loaded as the viewer loads: with the harmonics, in as many chunks as
    // the buffers need, each reordered by locality.
    auto start = std::chrono::steady_clock::now();
    std::size_t chunkCount = 0;
    std::int64_t splatCount = 0;
    {
        const std::vector<SplatPoint> points = splatformats::AutodetectSceneReader(options->input).readAll();
        for (auto& chunk : SplatChunk::makeChunks(device, points)) {
            splatCount += chunk.splatCount();
            renderer.addChunk(std::move(chunk), true, true);
            ++chunkCount;
        }
    }
    std::cout << "Loaded " << splatCount << " splats in " << chunkCount << " chunk" << (chunkCount == 1 ? "" : "s")
              << " in " << secondsSince(start) << " s (" << HeadlessGLContext::rendererName() << ")" << std::endl;

    OffscreenFramebuffer framebuffer(options->width, options->height, options->depth);
    ViewportDescriptor viewport;
    viewport.viewport = {0, 0, double(options->width), double(options->height), 0, 1};
    const float distance = std::hypot(options->eye[0] - options->target[0], options->eye[1] - options->target[1],
                                      options->eye[2] - options->target[2]);
    const float nearDistance = std::max(distance * 0.001f, 1e-4f);
    viewport.projectionMatrix =
        Matrix4::perspective(options->fieldOfViewDegrees * float(M_PI) / 180.0f,
                             float(options->width) / float(options->height), nearDistance, nearDistance * 1e6f);
    viewport.viewMatrix = Matrix4::lookAt(options->eye, options->target, options->up);
    viewport.screenSize = {options->width, options->height};

    start = std::chrono::steady_clock::now();
    if (!StillFrame::render(renderer, viewport, framebuffer.name(), 300)) {
        std::cerr << "tessaron-tool render: no sorted frame within 300 s\n";
        return 1;
    }
    std::cout << "Rendered " << options->width << "x" << options->height << " in " << secondsSince(start) << " s"
              << std::endl;
    // A scene too dear to draw in full is drawn within the fragment budget.
    const SplatRenderer::FrameReport& frame = renderer.lastFrame();
    if (frame.resolutionScale == 1 && frame.splatRadiusCap == 0)
        std::cout << "The splats cover " << frame.coveredPixels << " pixels (" << frame.coveringSplats
                  << " splats in view)" << std::endl;
    if (frame.resolutionScale < 1 || frame.splatRadiusCap > 0) {
        std::cout << "Drawn at " << frame.resolution[0] << "x" << frame.resolution[1] << " and stretched: the splats cover " << frame.coveredPixels << " pixels there, the budget "
                  << renderer.fragmentBudget() << " + " << SplatRenderer::fragmentsPerSplat << " for each of "
                  << frame.coveringSplats << " splats";
        if (frame.splatRadiusCap > 0) std::cout << ", with their radius capped at " << frame.splatRadiusCap << " px";
        std::cout << std::endl;
    }
    framebuffer.readColor().writePNG(options->output);
    return 0;
}

ToolCommand::Registration renderCommand({"render", usageText, runRender});

const char* heavySceneUsage =
    "<out.ply> [--gaussians N] [--seed S]: write a scene of large, faint, overlapping Gaussians with degree-3 "
    "harmonics (200,000 by default, about 50 MB) that is dear to draw";

int runHeavyScene(const std::vector<std::string>& arguments) {
    generators::HeavySplatSceneOptions options;
    std::string output;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if ((argument == "--gaussians" || argument == "--seed") && i + 1 < arguments.size()) {
            const std::string& text = arguments[++i];
            std::size_t used = 0;
            long long value = -1;
            try {
                value = std::stoll(text, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != text.size() || value < (argument == "--gaussians" ? 1 : 0))
                return usageError(argument + (argument == "--gaussians" ? " takes a whole number of at least 1"
                                                                       : " takes a whole number of at least 0") +
                                  " (got " + text + ")");
            if (argument == "--gaussians")
                options.count = value;
            else
                options.seed = std::uint64_t(value);
        } else if (!argument.starts_with("--") && output.empty()) {
            output = argument;
        } else {
            return usageError(std::string("usage: heavy-scene ") + heavySceneUsage);
        }
    }
    if (output.empty()) return usageError(std::string("usage: heavy-scene ") + heavySceneUsage);
    generators::writeHeavySplatScene(output, options);
    std::cout << "Wrote " << options.count << " Gaussians to " << output << std::endl;
    return 0;
}

ToolCommand::Registration heavySceneCommand({"heavy-scene", heavySceneUsage, runHeavyScene});

}  // namespace

}  // namespace tessaron::tool
