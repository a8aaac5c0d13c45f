#include "engines/SplatConverterRunner.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "PlyKit/PLYHeader.hpp"
#include "PlyKit/PLYReader.hpp"
#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatFormats/SplatFileFormat.hpp"
#include "core/RegularFile.hpp"
#include "core/ResourceLocator.hpp"

#ifndef TESSARON_DEPS_DIR
#define TESSARON_DEPS_DIR ""
#endif

namespace tessaron::engines {

namespace fs = std::filesystem;

namespace {

std::string joinedWithBlanks(const std::vector<std::string>& arguments) {
    std::string line;
    for (const auto& argument : arguments) {
        if (!line.empty()) line += ' ';
        line += argument;
    }
    return line;
}

std::string inheritedSearchPath() {
    const char* path = std::getenv("PATH");
    return path ? path : "";
}

// npm's global prefix ("npm prefix -g"), asked once per process: the answer
// only changes when the user reconfigures npm.
std::optional<fs::path> askNpmGlobalPrefix() {
    static std::once_flag asked;
    static std::optional<fs::path> prefix;
    std::call_once(asked, [] {
        auto npm = core::ResourceLocator::findInSearchPath("npm", inheritedSearchPath());
        if (!npm) return;
        ProcessRunner runner;
        std::string firstLine;
        int32_t status = runner.run({.executablePath = npm->string(), .arguments = {"prefix", "-g"}},
                                    [&firstLine](const std::string& line) {
                                        if (firstLine.empty()) firstLine = line;
                                    });
        if (status == 0 && !firstLine.empty()) prefix = fs::path(firstLine);
    });
    return prefix;
}

// Whether a file is a PLY in splat-transform's compressed layout, and then
// what its header declares.
struct CompressedPLYSize {
    bool compressed = false;
    uint64_t declared = 0;  // the header and every element it declares
    uint64_t actual = 0;    // the file's size
};

// The declared and actual size of `input` when its header declares the
// compressed layout splat-transform writes (a "chunk" element, a "vertex"
// element of packed_* words, fixed-size records only); not `compressed` for
// any other file, which is left to our readers. Reads the header only, and
// no more bytes than our PLY reader would search for it.
CompressedPLYSize compressedPLYSize(const fs::path& input) {
    auto opened = core::RegularFile::openForReading(input);
    if (!opened.isOpen()) return {};
    std::string head;
    size_t marker = std::string::npos;
    while (marker == std::string::npos && head.size() < plykit::PLYReader::headerSearchLimit) {
        const size_t filled = head.size();
        head.resize(std::min(filled + plykit::PLYReader::chunkSize, plykit::PLYReader::headerSearchLimit));
        const ssize_t count = ::read(opened.descriptor(), head.data() + filled, head.size() - filled);
        if (count <= 0) {
            head.resize(filled);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) return {};  // our reader says why
            break;
        }
        head.resize(filled + size_t(count));
        marker = head.find("end_header\n", filled < 10 ? 0 : filled - 10);
    }
    if (marker == std::string::npos || !head.starts_with("ply")) return {};
    head.resize(marker + std::string_view("end_header\n").size());

    plykit::PLYHeader header;
    try {
        header = plykit::PLYHeader::decodeASCII(head);
    } catch (const plykit::PLYHeader::ASCIIDecodeError&) {
        return {};  // our reader says what is wrong with it
    }
    auto chunk = header.index("chunk"), vertex = header.index("vertex");
    if (header.format != plykit::PLYHeader::Format::binaryLittleEndian || !chunk || !vertex) return {};
    for (const char* name : {"packed_position", "packed_rotation", "packed_scale", "packed_color"})
        if (!header.elements[*vertex].index(name)) return {};

    CompressedPLYSize size{.compressed = true, .declared = head.size(), .actual = opened.size()};
    for (const plykit::PLYHeader::Element& element : header.elements) {
        uint64_t recordSize = 0;
        for (const plykit::PLYHeader::Property& property : element.properties) {
            if (property.type.isList()) return {};
            recordSize += plykit::byteWidth(property.type.valueType());
        }
        uint64_t elementSize = 0;
        if (__builtin_mul_overflow(recordSize, uint64_t(element.count), &elementSize) ||
            __builtin_add_overflow(size.declared, elementSize, &size.declared))
            size.declared = std::numeric_limits<uint64_t>::max();
    }
    return size;
}

// Names the layout and the formats that take it.
std::string compressedPLYRefusal(const fs::path& input) {
    std::string extensions;
    for (SplatOutputFormat format : allSplatOutputFormats)
        if (backend(format) == SplatConverterBackend::splatTransform)
            extensions += (extensions.empty() ? "" : ", ") + std::string(fileExtension(format));
    return input.filename().string() + " is a compressed PLY, which only the splat-transform formats (" + extensions +
           ") can convert";
}

}  // namespace

SplatConverterRunner::ConverterError SplatConverterRunner::ConverterError::inputMissing(const std::string& path) {
    return ConverterError(ConverterErrorKind::inputMissing, "Input file not found: " + path);
}

SplatConverterRunner::ConverterError SplatConverterRunner::ConverterError::unreadableInput(const std::string& readerMessage) {
    return ConverterError(ConverterErrorKind::unreadableInput, readerMessage);
}

SplatConverterRunner::ConverterError SplatConverterRunner::ConverterError::outputMissing(const std::string& path) {
    return ConverterError(ConverterErrorKind::outputMissing, "Conversion finished but output is missing: " + path);
}

SplatConverterRunner::ConverterError SplatConverterRunner::ConverterError::backendMissing(const std::string& message) {
    return ConverterError(ConverterErrorKind::backendMissing, message);
}

SplatConverterRunner::ConverterError SplatConverterRunner::ConverterError::unsupportedFormat(std::string_view rawValue) {
    return ConverterError(ConverterErrorKind::unsupportedFormat,
                          "Unsupported format for selected backend: " + std::string(rawValue));
}

SplatConverterRunner::ConverterError SplatConverterRunner::ConverterError::exit(int32_t status) {
    ConverterError error(ConverterErrorKind::exit, "Converter exited with status " + std::to_string(status));
    error.status = status;
    return error;
}

SplatConverterRunner::SplatConverterRunner(std::shared_ptr<ProcessRunner> runner) : runner_(std::move(runner)) {}

SplatConverterRunner::~SplatConverterRunner() = default;

SplatConverterRunner::LogHandler SplatConverterRunner::onLog() const {
    std::lock_guard lock(log_->mutex);
    return log_->handler;
}

void SplatConverterRunner::setOnLog(LogHandler handler) {
    std::lock_guard lock(log_->mutex);
    log_->handler = std::move(handler);
}

void SplatConverterRunner::log(const std::string& line) const {
    if (LogHandler handler = onLog()) handler(line);
}

ProcessRunner::OutputHandler SplatConverterRunner::childLineHandler() const {
    return [sink = std::weak_ptr<LogSink>(log_)](const std::string& line) {
        auto alive = sink.lock();
        if (!alive) return;
        LogHandler handler;
        {
            std::lock_guard lock(alive->mutex);
            handler = alive->handler;
        }
        if (handler) handler(line);
    };
}

fs::path SplatConverterRunner::standardised(const fs::path& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    return (error ? path : absolute).lexically_normal();
}

bool SplatConverterRunner::somethingExistsAt(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

fs::path SplatConverterRunner::outputURL(const fs::path& input, SplatOutputFormat format, const fs::path& directory) const {
    const std::string base = input.stem().string();
    const std::string extension(fileExtension(format));
    const fs::path standardInput = standardised(input);
    auto refused = [&](const fs::path& candidate) {
        return standardised(candidate) == standardInput || somethingExistsAt(candidate);
    };
    fs::path candidate = directory / (base + extension);
    if (!refused(candidate)) return candidate;
    candidate = directory / (base + "-converted" + extension);
    for (uint64_t counter = 2; refused(candidate); ++counter)
        candidate = directory / (base + "-converted-" + std::to_string(counter) + extension);
    return candidate;
}

fs::path SplatConverterRunner::convert(const fs::path& input, SplatOutputFormat format, const fs::path& outputDirectory,
                                       std::stop_token stop) {
    if (!somethingExistsAt(input)) throw ConverterError::inputMissing(input.string());
    // A latch left by an earlier cancel must not refuse this conversion.
    runner_->resetCancel();
    if (stop.stop_requested()) throw core::CancellationError();
    std::stop_callback cancelChild(stop, [this] { runner_->cancel(); });

    fs::path output = outputURL(input, format, outputDirectory);
    log("Converting " + input.filename().string() + " → " + output.filename().string());
    // The output's name was free before the child ran, so whatever a failed
    // or stopped child left there is its own partial file.
    try {
        // splat-transform's own compressed layout is read by it alone.
        CompressedPLYSize compressed;
        if (splatformats::splatFileFormat(input) == splatformats::SplatFileFormat::ply)
            compressed = compressedPLYSize(input);
        if (backend(format) == SplatConverterBackend::splatConverter) {
            if (compressed.compressed) throw ConverterError::unreadableInput(compressedPLYRefusal(input));
            runResourceConverter(input, output, format);
        } else {
            // Our own converter reads with our readers anyway; splat-transform
            // takes what they refuse. A missing tool is still said first.
            if (!findSplatTransform()) throw ConverterError::backendMissing(std::string(splatTransformMissingMessage));
            if (!compressed.compressed) {
                checkReadable(input, stop);
            } else if (compressed.actual < compressed.declared) {
                // splat-transform would read the missing part as zeros.
                throw ConverterError::unreadableInput(input.filename().string() + " is an incomplete compressed PLY (" +
                                                      std::to_string(compressed.actual) + " of " +
                                                      std::to_string(compressed.declared) + " bytes)");
            }
            runSplatTransform(input, output);
        }
    } catch (...) {
        removePartialOutput(output);
        throw;
    }
    if (!somethingExistsAt(output)) throw ConverterError::outputMissing(output.string());
    log("✓ Wrote " + output.string());
    return output;
}

void SplatConverterRunner::checkReadable(const fs::path& input, std::stop_token stop) {
    // A format we have no reader for (.ksplat) goes to the tool as it is.
    if (!splatformats::splatFileFormat(input)) return;
    try {
        splatformats::SplatBatchSequence sequence = splatformats::AutodetectSceneReader(input).read();
        splatformats::SplatBatch batch;
        while (sequence.appendNext(batch)) {
            if (stop.stop_requested()) throw core::CancellationError();
            batch.clear();
        }
    } catch (const core::CancellationError&) {
        throw;
    } catch (const std::exception& refusal) {
        throw ConverterError::unreadableInput(refusal.what());
    }
}

void SplatConverterRunner::removePartialOutput(const fs::path& output) const {
    std::error_code error;
    fs::remove_all(output, error);
    if (error) log("⚠ Could not remove the partial output " + output.string() + ": " + error.message());
}

std::optional<fs::path> SplatConverterRunner::resourceConverterPath() {
    return core::ResourceLocator::findExecutable("SplatConverter", /*searchPath=*/false);
}

std::optional<fs::path> SplatConverterRunner::findResourceConverter() const { return resourceConverterPath(); }

std::optional<fs::path> SplatConverterRunner::findSplatTransform() const { return splatTransformPath(); }

void SplatConverterRunner::runResourceConverter(const fs::path& input, const fs::path& output, SplatOutputFormat format) {
    auto program = findResourceConverter();
    if (!program) throw ConverterError::backendMissing(std::string(splatConverterMissingMessage));
    auto formatName = splatConverterFormatName(format);
    if (!formatName) throw ConverterError::unsupportedFormat(toString(format));

    std::vector<std::string> arguments{input.string(), "-o", output.string(), "-f", std::string(*formatName), "-v"};
    log("$ SplatConverter " + joinedWithBlanks(arguments));
    int32_t status = runner_->run({.executablePath = program->string(), .arguments = arguments}, childLineHandler());
    if (status != 0) throw ConverterError::exit(status);
}

SplatConverterRunner::SplatTransformPlaces SplatConverterRunner::systemSplatTransformPlaces() {
    std::string deps = TESSARON_DEPS_DIR;
    return {
        .searchPath = inheritedSearchPath(),
        .projectInstall = deps.empty() ? fs::path() : fs::path(deps) / "splat-transform/node_modules/.bin",
        .npmGlobalPrefix = askNpmGlobalPrefix,
    };
}

std::optional<fs::path> SplatConverterRunner::splatTransformPath(const SplatTransformPlaces& places) {
    const std::string name = "splat-transform";
    if (auto onPath = core::ResourceLocator::findInSearchPath(name, places.searchPath)) return onPath;
    if (!places.projectInstall.empty() && core::ResourceLocator::isExecutableFile(places.projectInstall / name))
        return places.projectInstall / name;
    if (places.npmGlobalPrefix) {
        if (auto prefix = places.npmGlobalPrefix(); prefix && core::ResourceLocator::isExecutableFile(*prefix / "bin" / name))
            return *prefix / "bin" / name;
    }
    return std::nullopt;
}

std::optional<fs::path> SplatConverterRunner::splatTransformPath() { return splatTransformPath(systemSplatTransformPlaces()); }

std::string SplatConverterRunner::splatTransformSearchPath(const fs::path& tool, const std::optional<fs::path>& node,
                                                           const std::string& inheritedPath) {
    std::vector<std::string> folders{tool.parent_path().string()};
    if (node && node->parent_path().string() != folders.front()) folders.push_back(node->parent_path().string());
    if (!inheritedPath.empty()) folders.push_back(inheritedPath);
    std::string joined;
    for (const auto& folder : folders) joined += (joined.empty() ? "" : ":") + folder;
    return joined;
}

bool SplatConverterRunner::splatTransformNeedsCPU(const fs::path& tool, const std::map<std::string, std::string>& environment) {
    static std::mutex cacheMutex;
    static std::map<fs::path, bool> needsCPUByTool;
    {
        std::lock_guard lock(cacheMutex);
        if (auto known = needsCPUByTool.find(tool); known != needsCPUByTool.end()) return known->second;
    }
    bool noAdapter = false;
    int32_t status = runner_->run(
        {.executablePath = tool.string(), .arguments = {"--list-gpus"}, .environment = environment},
        [&noAdapter](const std::string& line) {
            if (line.find("No GPU adapters found") != std::string::npos) noAdapter = true;
        });
    // A probe stopped by a signal (a cancel) says nothing about the machine.
    if (status < 0) return true;
    bool needsCPU = status != 0 || noAdapter;
    std::lock_guard lock(cacheMutex);
    needsCPUByTool[tool] = needsCPU;
    return needsCPU;
}

void SplatConverterRunner::runSplatTransform(const fs::path& input, const fs::path& output) {
    auto tool = findSplatTransform();
    if (!tool) throw ConverterError::backendMissing(std::string(splatTransformMissingMessage));

    std::map<std::string, std::string> environment{
        {"PATH", splatTransformSearchPath(*tool, core::ResourceLocator::findInSearchPath("node", inheritedSearchPath()),
                                          inheritedSearchPath())}};
    std::vector<std::string> arguments{"-w"};
    if (splatTransformNeedsCPU(*tool, environment)) arguments.insert(arguments.end(), {"-g", "cpu"});
    arguments.insert(arguments.end(), {input.string(), output.string()});
    log("$ splat-transform " + joinedWithBlanks(arguments));
    int32_t status = runner_->run(
        {.executablePath = tool->string(), .arguments = arguments, .environment = environment}, childLineHandler());
    if (status != 0) throw ConverterError::exit(status);
}

}  // namespace tessaron::engines
