// SplatConverter <input> -o <output> -f spz|dotSplat|ply-ascii [-v]
//
// Exit status 0 only when the output is complete; 1 when the conversion
// fails, 2 for a wrong command line, each with a message on stderr. The
// output is written to a temporary beside it and renamed into place at the
// end, so a failure leaves nothing behind. A missing output folder is made
// first.

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatFormats/DotSplatSceneWriter.hpp"
#include "SplatFormats/SPZSceneWriter.hpp"
#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "core/AtomicFile.hpp"
#include "spz/SpzHeader.hpp"

namespace {

namespace fs = std::filesystem;

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

// A failure of the input, told apart from the output's while both stream.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Streams the input batch by batch: only one batch of points is held.
class InputPass {
public:
    explicit InputPass(const fs::path& input) : sequence_(read(input)) {}

    // The next batch in `batch` (replacing what it held), the reader's
    // batches gathered up to `atLeast` points; false at the end.
    bool next(splatformats::SplatBatch& batch, std::size_t atLeast = 1) {
        batch.clear();
        if (atLeast > 1) batch.reserve(atLeast);
        try {
            while (sequence_.appendNext(batch))
                if (batch.size() >= atLeast) return true;
        } catch (const std::exception& error) {
            throw InputError(error.what());
        }
        return !batch.empty();
    }

private:
    static splatformats::SplatBatchSequence read(const fs::path& input) {
        try {
            return splatformats::AutodetectSceneReader(input).read();
        } catch (const std::exception& error) {
            throw InputError(error.what());
        }
    }

    splatformats::SplatBatchSequence sequence_;
};

struct InputSummary {
    std::size_t count = 0;
    bool harmonics = false;  // some colour beyond degree 0
    bool beyondLimit = false;  // the pass stopped past the limit: count is not the whole
};

// A first pass over the input for what a header must announce. It stops
// once the count passes `limit`: a format that cannot hold more need not
// read the rest of a file of many gigabytes to say so.
InputSummary summarise(const fs::path& input, std::optional<std::size_t> limit) {
    InputSummary summary;
    InputPass pass(input);
    splatformats::SplatBatch batch;
    while (pass.next(batch)) {
        summary.count += batch.size();
        for (const auto& point : batch)
            if (point.color.shDegree() != splatformats::SHDegree::sh0) summary.harmonics = true;
        if (limit && summary.count > *limit) {
            summary.beyondLimit = true;
            break;
        }
    }
    return summary;
}

// Decodes the input on a thread of its own, one batch ahead of the writer, so
// that decoding and encoding overlap; three batches are held at most.
class ReadAhead {
public:
    // Opening the input and reading its header happen here, on the caller's thread.
    // Batches hold at least `gathered` points (but the last).
    ReadAhead(const fs::path& input, std::size_t gathered)
        : pass_(input), gathered_(gathered), thread_([this](std::stop_token stop) { run(stop); }) {}
    ~ReadAhead() {
        {
            std::lock_guard lock(mutex_);
            thread_.request_stop();
        }
        condition_.notify_all();
    }  // the thread, stopped after its current batch, is joined here

    // The next batch in `batch` (replacing what it held); false at the end.
    // Throws the InputError that ended the input.
    bool next(splatformats::SplatBatch& batch) {
        std::unique_lock lock(mutex_);
        condition_.wait(lock, [&] { return full_ || ended_; });
        if (full_) {
            std::swap(batch, ready_);
            full_ = false;
            condition_.notify_all();
            return true;
        }
        if (error_) std::rethrow_exception(error_);
        return false;
    }

private:
    void run(const std::stop_token& stop) {
        splatformats::SplatBatch batch;
        std::exception_ptr error;
        try {
            while (pass_.next(batch, gathered_)) {
                std::unique_lock lock(mutex_);
                condition_.wait(lock, [&] { return !full_ || stop.stop_requested(); });
                if (stop.stop_requested()) return;
                std::swap(ready_, batch);
                full_ = true;
                condition_.notify_all();
            }
        } catch (const InputError&) {
            error = std::current_exception();
        }
        std::lock_guard lock(mutex_);
        error_ = error;
        ended_ = true;
        condition_.notify_all();
    }

    InputPass pass_;
    const std::size_t gathered_;
    std::mutex mutex_;
    std::condition_variable condition_;
    splatformats::SplatBatch ready_;  // guarded by mutex_, like the three below
    bool full_ = false;
    bool ended_ = false;
    std::exception_ptr error_;
    std::jthread thread_;  // last: starts once the rest exists
};

// The number of points copied, in batches of at least `gathered` points
// for a writer that spreads a batch over every core.
std::size_t copyPoints(const fs::path& input, splatformats::SplatSceneWriter& writer, std::size_t gathered = 1) {
    ReadAhead pass(input, gathered);
    splatformats::SplatBatch batch;
    std::size_t count = 0;
    while (pass.next(batch)) {
        writer.write(batch);
        count += batch.size();
    }
    writer.close();
    return count;
}

// Writes the points of the input; the count and degree that SPZ and PLY
// announce first come from a pass of its own. Returns the points written.
std::size_t writePoints(const fs::path& input, const std::optional<InputSummary>& summary, OutputFormat format,
                 const fs::path& path) {
    switch (format) {
        case OutputFormat::spz: {
            splatformats::SPZSceneWriter writer(path);
            writer.start(std::int64_t(summary->count));
            // It packs a batch on every core, in runs of 2,048 points; three
            // batches of 16,384 points (4 MB) are held at most.
            return copyPoints(input, writer, 16384);
        }
        case OutputFormat::dotSplat: {
            splatformats::DotSplatSceneWriter writer(path);
            return copyPoints(input, writer);
        }
        case OutputFormat::plyASCII: {
            // Our PLY reader takes harmonics of degree 0 or 3; degrees 1 and 2
            // are written as degree 3 with zero coefficients, so every output
            // reads back.
            splatformats::SplatPLYSceneWriter writer(path);
            writer.start(summary->harmonics ? 3 : 0, false, std::int64_t(summary->count));
            return copyPoints(input, writer);
        }
    }
    return 0;
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
    auto readFailed = [&](const std::exception& error) {
        std::cerr << "SplatConverter: Could not read " << options.input.string() << ": " << error.what() << "\n";
        return 1;
    };
    auto writeFailed = [&](const std::string& reason) {
        std::cerr << "SplatConverter: Could not write " << options.output.string() << ": " << reason << "\n";
        return 1;
    };
    // The finished file is renamed over the output: a folder, a FIFO or a
    // device there (-o /dev/null) is refused, never replaced; a symbolic
    // link is followed to its file.
    fs::path target;
    try {
        target = tessaron::core::AtomicFile::replaceableTarget(options.output);
    } catch (const tessaron::core::AtomicFile::WriteError& error) {
        return writeFailed(error.code().message());
    }
    fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    // A folder not made yet is made, as splat-transform does for its formats.
    std::error_code created;
    fs::create_directories(folder, created);
    if (created) return writeFailed(created.message());
    if (::access(folder.c_str(), W_OK) != 0) return writeFailed(std::strerror(errno));

    std::optional<InputSummary> summary;
    try {
        if (options.format != OutputFormat::dotSplat) {
            std::optional<std::size_t> limit;
            if (options.format == OutputFormat::spz) limit = spz::SpzHeader::maximumPointCount;
            summary = summarise(options.input, limit);
        }
    } catch (const InputError& error) {
        return readFailed(error);
    }
    if (summary && summary->beyondLimit)
        return writeFailed("an SPZ file holds at most " + std::to_string(spz::SpzHeader::maximumPointCount) +
                           " points, and " + options.input.string() + " holds more");
    if (options.verbose && summary)
        std::cout << "Read " << summary->count << " splats from " << options.input.string() << std::endl;
    fs::path temporary = folder / ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()));
    std::error_code ignored;  // the temporary may never have been created
    std::size_t written = 0;
    try {
        written = writePoints(options.input, summary, options.format, temporary);
        fs::rename(temporary, target);
    } catch (const InputError& error) {
        fs::remove(temporary, ignored);
        return readFailed(error);
    } catch (const std::exception& error) {
        fs::remove(temporary, ignored);
        std::cerr << "SplatConverter: Could not write " << options.output.string() << ": " << error.what() << "\n";
        return 1;
    }
    // The .splat output streams in one pass: its count is known only now.
    if (options.verbose && !summary)
        std::cout << "Read " << written << " splats from " << options.input.string() << std::endl;
    if (options.verbose)
        std::cout << "Wrote " << written << " splats to " << options.output.string() << " ("
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
