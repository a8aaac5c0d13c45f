// SplatConverter <input> -o <output> -f spz|dotSplat|ply-ascii [-v]
//
// Exit status 0 only when the output is complete; 1 when the conversion
// fails, 2 for a wrong command line, each with a message on stderr. The
// output is written to a temporary beside it and renamed into place at the
// end, so a failure leaves nothing behind.

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatFormats/DotSplatSceneWriter.hpp"
#include "SplatFormats/SPZSceneWriter.hpp"
#include "SplatFormats/SplatPLYSceneWriter.hpp"

namespace {

namespace fs = std::filesystem;
using splatformats::SplatPoint;

enum class OutputFormat { spz, dotSplat, plyASCII };

std::optional<OutputFormat> outputFormatFromString(const std::string& text) {
    if (text == "spz") return OutputFormat::spz;
    if (text == "dotSplat") return OutputFormat::dotSplat;
    if (text == "ply-ascii") return OutputFormat::plyASCII;
    return std::nullopt;
}

struct Options {
    fs::path input;
    fs::path output;
    OutputFormat format = OutputFormat::spz;
    bool verbose = false;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Options parse(const std::vector<std::string>& arguments) {
    Options options;
    std::optional<std::string> input, output, format;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        auto value = [&](const char* option) {
            if (index + 1 >= arguments.size()) throw UsageError(std::string(option) + " needs a value");
            return arguments[++index];
        };
        if (argument == "-o")
            output = value("-o");
        else if (argument == "-f")
            format = value("-f");
        else if (argument == "-v")
            options.verbose = true;
        else if (!argument.empty() && argument[0] == '-')
            throw UsageError("Unknown option " + argument);
        else if (input)
            throw UsageError("More than one input: " + *input + " and " + argument);
        else
            input = argument;
    }
    if (!input) throw UsageError("No input file given");
    if (!output) throw UsageError("No output file given (-o)");
    if (!format) throw UsageError("No output format given (-f)");
    auto parsed = outputFormatFromString(*format);
    if (!parsed) throw UsageError("Unknown output format \"" + *format + "\" (expected spz, dotSplat or ply-ascii)");
    options.input = *input;
    options.output = *output;
    options.format = *parsed;
    return options;
}

// Our PLY reader takes harmonics of degree 0 or 3; degrees 1 and 2 are
// written as degree 3 with zero coefficients, so every output reads back.
unsigned plyDegree(const std::vector<SplatPoint>& points) {
    for (const auto& point : points)
        if (point.color.shDegree() != splatformats::SHDegree::sh0) return 3;
    return 0;
}

void writePoints(const std::vector<SplatPoint>& points, OutputFormat format, const fs::path& path) {
    switch (format) {
        case OutputFormat::spz: {
            splatformats::SPZSceneWriter writer(path);
            writer.start(std::int64_t(points.size()));
            writer.write(points);
            writer.close();
            return;
        }
        case OutputFormat::dotSplat: {
            splatformats::DotSplatSceneWriter writer(path);
            writer.write(points);
            writer.close();
            return;
        }
        case OutputFormat::plyASCII: {
            splatformats::SplatPLYSceneWriter writer(path);
            writer.start(plyDegree(points), false, std::int64_t(points.size()));
            writer.write(points);
            writer.close();
            return;
        }
    }
}

const char* formatName(OutputFormat format) {
    switch (format) {
        case OutputFormat::spz: return "spz";
        case OutputFormat::dotSplat: return "dotSplat";
        case OutputFormat::plyASCII: break;
    }
    return "ply-ascii";
}

int convert(const Options& options) {
    if (!fs::exists(options.input)) {
        std::cerr << "SplatConverter: Input file not found: " << options.input.string() << "\n";
        return 1;
    }
    std::vector<SplatPoint> points;
    try {
        points = splatformats::AutodetectSceneReader(options.input).readAll();
    } catch (const std::exception& error) {
        std::cerr << "SplatConverter: Could not read " << options.input.string() << ": " << error.what() << "\n";
        return 1;
    }
    if (options.verbose) std::cout << "Read " << points.size() << " splats from " << options.input.string() << std::endl;

    fs::path folder = options.output.has_parent_path() ? options.output.parent_path() : fs::path(".");
    if (::access(folder.c_str(), W_OK) != 0) {
        std::cerr << "SplatConverter: Could not write " << options.output.string() << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    fs::path temporary = folder / ("." + options.output.filename().string() + ".tmp-" + std::to_string(::getpid()));
    try {
        writePoints(points, options.format, temporary);
        fs::rename(temporary, options.output);
    } catch (const std::exception& error) {
        std::error_code ignored;  // the temporary may never have been created
        fs::remove(temporary, ignored);
        std::cerr << "SplatConverter: Could not write " << options.output.string() << ": " << error.what() << "\n";
        return 1;
    }
    if (options.verbose)
        std::cout << "Wrote " << points.size() << " splats to " << options.output.string() << " ("
                  << formatName(options.format) << ")" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "SplatConverter: " << error.what() << "\n"
                  << "usage: SplatConverter <input> -o <output> -f spz|dotSplat|ply-ascii [-v]\n";
        return 2;
    }
    return convert(options);
}
