// The converter runner against scripted converters (command lines, exit
// statuses, cancellation, cleanup) and against the real backends, whose
// outputs splat-transform reads back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "core/Error.hpp"
#include "engines/SplatConverterRunner.hpp"
#include "engines/SplatOutputFormat.hpp"
#include "support/ConverterScripts.hpp"

namespace fs = std::filesystem;
using namespace tessaron::engines;
using tessaron::testing::ScriptedConverter;
using tessaron::testing::readTextFile;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;
using ConverterError = SplatConverterRunner::ConverterError;
using ErrorKind = SplatConverterRunner::ConverterErrorKind;

namespace {

// The lines a runner logs, from whichever thread.
struct LogLines {
    std::mutex mutex;
    std::vector<std::string> lines;

    void attach(SplatConverterRunner& runner) {
        runner.setOnLog([this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

template <typename Call>
ConverterError converterErrorOf(Call call) {
    try {
        call();
    } catch (const ConverterError& error) {
        return error;
    }
    ADD_FAILURE() << "no ConverterError thrown";
    return ConverterError::exit(0);
}

struct NamingCase {
    std::string input;
    std::vector<std::string> existing;  // beside the input, which is in the output folder
    SplatOutputFormat format;
    std::string expected;
};

void PrintTo(const NamingCase& naming, std::ostream* stream) { *stream << naming.input << " → " << naming.expected; }

class OutputNaming : public ::testing::TestWithParam<NamingCase> {};

}  // namespace

TEST(SplatOutputFormatTable, EachCaseHasItsTextsBackendAndConverterName) {
    struct Row {
        SplatOutputFormat format;
        const char *raw, *label, *extension;
        SplatConverterBackend backend;
        std::optional<std::string_view> converterName;
    };
    const Row rows[] = {
        {SplatOutputFormat::spz, "spz", ".spz (compressed)", ".spz", SplatConverterBackend::splatConverter, "spz"},
        {SplatOutputFormat::splat, "splat", ".splat (dotSplat)", ".splat", SplatConverterBackend::splatConverter, "dotSplat"},
        {SplatOutputFormat::plyAscii, "plyAscii", ".ply (ASCII)", ".ascii.ply", SplatConverterBackend::splatConverter, "ply-ascii"},
        {SplatOutputFormat::sog, "sog", ".sog (SuperSplat compressed)", ".sog", SplatConverterBackend::splatTransform, std::nullopt},
        {SplatOutputFormat::compressedPly, "compressedPly", ".compressed.ply", ".compressed.ply",
         SplatConverterBackend::splatTransform, std::nullopt},
        {SplatOutputFormat::glb, "glb", ".glb", ".glb", SplatConverterBackend::splatTransform, std::nullopt},
        {SplatOutputFormat::html, "html", ".html (self-contained viewer)", ".html", SplatConverterBackend::splatTransform,
         std::nullopt},
    };
    ASSERT_EQ(std::size(rows), allSplatOutputFormats.size());
    for (std::size_t index = 0; index < std::size(rows); ++index) {
        const Row& row = rows[index];
        EXPECT_EQ(allSplatOutputFormats[index], row.format);
        EXPECT_EQ(toString(row.format), row.raw);
        EXPECT_EQ(splatOutputFormatFromString(row.raw), row.format);
        EXPECT_EQ(label(row.format), row.label);
        EXPECT_EQ(fileExtension(row.format), row.extension);
        EXPECT_EQ(backend(row.format), row.backend);
        EXPECT_EQ(splatConverterFormatName(row.format), row.converterName);
        EXPECT_EQ(std::hash<SplatOutputFormat>{}(row.format), std::hash<std::string_view>{}(row.raw));
    }
    for (const char* other : {"SPZ", "Spz", "", "ply", "compressed.ply", "spz "})
        EXPECT_EQ(splatOutputFormatFromString(other), std::nullopt) << other;
}

TEST_P(OutputNaming, PicksTheFirstFreeName) {
    TempDir folder;
    writeTextFile(folder / GetParam().input, "x");
    for (const auto& name : GetParam().existing) writeTextFile(folder / name, "x");
    ScriptedConverter converter(std::nullopt);
    EXPECT_EQ(converter.outputURL(folder / GetParam().input, GetParam().format, folder.path()),
              folder / GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputNaming,
    ::testing::Values(NamingCase{"a.ply", {}, SplatOutputFormat::plyAscii, "a.ascii.ply"},
                      NamingCase{"a.splat", {}, SplatOutputFormat::splat, "a-converted.splat"},
                      NamingCase{"a.splat", {"a-converted.splat"}, SplatOutputFormat::splat, "a-converted-2.splat"},
                      NamingCase{"a.splat", {"a-converted.splat", "a-converted-2.splat", "a-converted-3.splat"},
                                 SplatOutputFormat::splat, "a-converted-4.splat"},
                      NamingCase{"scene.compressed.ply", {}, SplatOutputFormat::spz, "scene.compressed.spz"},
                      NamingCase{"a.ply", {"a.glb"}, SplatOutputFormat::glb, "a-converted.glb"},
                      // A folder at the name takes it as much as a file does.
                      NamingCase{"a.ply", {"a.sog/meta.json"}, SplatOutputFormat::sog, "a-converted.sog"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(OutputNaming, ADanglingLinkTakesItsName) {
    TempDir folder;
    writeTextFile(folder / "a.ply", "x");
    fs::create_symlink(folder / "nowhere", folder / "a.spz");
    ScriptedConverter converter(std::nullopt);
    EXPECT_EQ(converter.outputURL(folder / "a.ply", SplatOutputFormat::spz, folder.path()), folder / "a-converted.spz");
}

TEST(OutputNaming, TheInputIsRecognisedThroughDotComponents) {
    TempDir folder;
    writeTextFile(folder / "a.splat", "x");
    ScriptedConverter converter(std::nullopt);
    fs::path roundabout = folder / "sub" / ".." / "a.splat";
    fs::create_directories(folder / "sub");
    EXPECT_EQ(converter.outputURL(roundabout, SplatOutputFormat::splat, folder / "."), folder / "." / "a-converted.splat");
}

class ScriptedConversion : public ::testing::Test {
protected:
    TempDir folder_;
    LogLines log_;
};

// splat-transform reads a cut PLY's missing half as zeros and exits 0. Our
// own reader is asked first: what it refuses reaches no converter, with its
// message, for every format splat-transform writes.
class RefusedBeforeSplatTransform : public ::testing::TestWithParam<SplatOutputFormat> {};

TEST_P(RefusedBeforeSplatTransform, AnInputOurReaderRefuses) {
    TempDir folder;
    tessaron::testing::writeScene(folder / "whole.ply", 200);
    const std::string whole = readTextFile(folder / "whole.ply");
    writeTextFile(folder / "half.ply", whole.substr(0, whole.size() / 2));
    writeTextFile(folder / "noise.spz", "not a gzip stream at all");
    const fs::path ran = folder / "splat-transform-ran";
    ScriptedConverter converter(std::nullopt, tessaron::testing::writeScript(folder / "splat-transform",
                                                                             "[ \"$1\" = --list-gpus ] && exit 0\n"
                                                                             "touch '" + ran.string() + "'\n"
                                                                             "for last; do :; done\necho x > \"$last\"\n"));
    LogLines log;
    log.attach(converter);
    for (const char* name : {"half.ply", "noise.spz"}) {
        SCOPED_TRACE(name);
        std::string readerMessage;
        try {
            splatformats::AutodetectSceneReader(folder / name).readAll();
        } catch (const std::exception& error) {
            readerMessage = error.what();
        }
        ASSERT_FALSE(readerMessage.empty()) << "our reader takes " << name;
        auto error = converterErrorOf([&] { converter.convert(folder / name, GetParam(), folder.path()); });
        EXPECT_EQ(error.kind(), ErrorKind::unreadableInput);
        EXPECT_EQ(std::string(error.what()), readerMessage);
    }
    EXPECT_FALSE(fs::exists(ran));
    for (const std::string& line : log.snapshot()) EXPECT_FALSE(line.starts_with("✓ Wrote")) << line;
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder.path())) left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"half.ply", "noise.spz", "splat-transform", "whole.ply"}));

    // A whole file, and one of a format we have no reader for, go on to the tool.
    writeTextFile(folder / "scene.ksplat", "a format only splat-transform reads");
    for (const char* name : {"whole.ply", "scene.ksplat"}) {
        const fs::path output = converter.convert(folder / name, GetParam(), folder.path());
        EXPECT_TRUE(fs::exists(output)) << name;
    }
    EXPECT_TRUE(fs::exists(ran));
}

INSTANTIATE_TEST_SUITE_P(SplatTransformFormats, RefusedBeforeSplatTransform,
                         ::testing::Values(SplatOutputFormat::sog, SplatOutputFormat::compressedPly,
                                           SplatOutputFormat::glb, SplatOutputFormat::html),
                         [](const auto& info) { return std::string(toString(info.param)); });

TEST_F(ScriptedConversion, MissingInputStartsNoChildAndLogsNothing) {
    fs::path marker = folder_ / "started";
    ScriptedConverter converter(tessaron::testing::writeScript(folder_ / "conv", "touch \"" + marker.string() + "\"\n"));
    log_.attach(converter);
    auto error = converterErrorOf([&] { converter.convert(folder_ / "gone.ply", SplatOutputFormat::spz, folder_.path()); });
    EXPECT_EQ(error.kind(), ErrorKind::inputMissing);
    EXPECT_STREQ(error.what(), ("Input file not found: " + (folder_ / "gone.ply").string()).c_str());
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_TRUE(log_.snapshot().empty());
}

TEST_F(ScriptedConversion, PathsWithBlanksReachTheChildAsSingleArgumentsAndStandUnquotedInTheLog) {
    fs::path arguments = folder_ / "arguments.txt";
    auto script = tessaron::testing::writeScript(
        folder_ / "conv", "for a in \"$@\"; do echo \"$a\" >> \"" + arguments.string() + "\"; done\n"
                          "echo 'Read 3 splats'\necho 'warning line' >&2\necho out > \"$3\"\n");
    fs::create_directories(folder_ / "my scans");
    fs::path input = folder_ / "my scans" / "a b.ply";
    writeTextFile(input, "x");
    ScriptedConverter converter(script);
    log_.attach(converter);

    fs::path output = converter.convert(input, SplatOutputFormat::plyAscii, folder_ / "my scans");

    EXPECT_EQ(output, folder_ / "my scans" / "a b.ascii.ply");
    EXPECT_EQ(readTextFile(arguments), input.string() + "\n-o\n" + output.string() + "\n-f\nply-ascii\n-v\n");
    auto lines = log_.snapshot();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Converting a b.ply → a b.ascii.ply");
    EXPECT_EQ(lines[1], "$ SplatConverter " + input.string() + " -o " + output.string() + " -f ply-ascii -v");
    // Standard output and standard error come through two readers: their
    // order between each other is not fixed.
    EXPECT_TRUE((lines[2] == "Read 3 splats" && lines[3] == "warning line") ||
                (lines[3] == "Read 3 splats" && lines[2] == "warning line"));
    EXPECT_EQ(lines[4], "✓ Wrote " + output.string());
}

TEST_F(ScriptedConversion, NonZeroExitFailsWithItsStatusAndRemovesThePartialOutput) {
    ScriptedConverter converter(tessaron::testing::writeScript(folder_ / "conv", "echo partial > \"$3\"\nexit 3\n"));
    writeTextFile(folder_ / "a.ply", "x");
    auto error = converterErrorOf([&] { converter.convert(folder_ / "a.ply", SplatOutputFormat::spz, folder_.path()); });
    EXPECT_EQ(error.kind(), ErrorKind::exit);
    EXPECT_STREQ(error.what(), "Converter exited with status 3");
    EXPECT_EQ(error.status, 3);
    EXPECT_FALSE(fs::exists(folder_ / "a.spz"));
}

TEST_F(ScriptedConversion, SuccessWithoutOutputIsReportedAsMissingOutput) {
    ScriptedConverter converter(tessaron::testing::writeScript(folder_ / "conv", "exit 0\n"));
    writeTextFile(folder_ / "a.ply", "x");
    auto error = converterErrorOf([&] { converter.convert(folder_ / "a.ply", SplatOutputFormat::splat, folder_.path()); });
    EXPECT_EQ(error.kind(), ErrorKind::outputMissing);
    EXPECT_STREQ(error.what(), ("Conversion finished but output is missing: " + (folder_ / "a.splat").string()).c_str());
}

TEST_F(ScriptedConversion, MissingBackendsFailWithTheirMessages) {
    writeTextFile(folder_ / "a.ply", "x");
    ScriptedConverter converter(std::nullopt, std::nullopt);
    auto converterMissing = converterErrorOf([&] { converter.convert(folder_ / "a.ply", SplatOutputFormat::spz, folder_.path()); });
    EXPECT_EQ(converterMissing.kind(), ErrorKind::backendMissing);
    EXPECT_STREQ(converterMissing.what(), "SplatConverter not found in app bundle.");
    auto toolMissing = converterErrorOf([&] { converter.convert(folder_ / "a.ply", SplatOutputFormat::glb, folder_.path()); });
    EXPECT_EQ(toolMissing.kind(), ErrorKind::backendMissing);
    EXPECT_STREQ(toolMissing.what(), "splat-transform not installed. Install with:\n  npm install -g @playcanvas/splat-transform");
}

TEST_F(ScriptedConversion, AFormatWithoutConverterNameIsUnsupportedByOurConverter) {
    writeTextFile(folder_ / "a.ply", "x");
    ScriptedConverter converter(tessaron::testing::writeScript(folder_ / "conv", "exit 0\n"));
    auto error = converterErrorOf([&] { converter.runResourceConverter(folder_ / "a.ply", folder_ / "a.sog", SplatOutputFormat::sog); });
    EXPECT_EQ(error.kind(), ErrorKind::unsupportedFormat);
    EXPECT_STREQ(error.what(), "Unsupported format for selected backend: sog");
}

TEST_F(ScriptedConversion, AStopRequestedBeforeTheCallFailsBeforeAnyLine) {
    writeTextFile(folder_ / "a.ply", "x");
    ScriptedConverter converter(tessaron::testing::writeScript(folder_ / "conv", "echo x > \"$3\"\n"));
    log_.attach(converter);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(converter.convert(folder_ / "a.ply", SplatOutputFormat::spz, folder_.path(), stop.get_token()),
                 tessaron::core::CancellationError);
    EXPECT_TRUE(log_.snapshot().empty());
}

TEST_F(ScriptedConversion, ALatchLeftByAnEarlierCancelDoesNotRefuseTheNextConversion) {
    writeTextFile(folder_ / "a.ply", "x");
    ScriptedConverter converter(tessaron::testing::writeScript(folder_ / "conv", "echo x > \"$3\"\n"));
    converter.processRunner().cancel();
    EXPECT_EQ(converter.convert(folder_ / "a.ply", SplatOutputFormat::spz, folder_.path()), folder_ / "a.spz");
}

TEST_F(ScriptedConversion, StoppingASlowConversionEndsItsChildWithStatusMinus15AndLeavesNoPartialFile) {
    writeTextFile(folder_ / "a.ply", "x");
    ScriptedConverter converter(tessaron::testing::writeSlowConverter(folder_.path()));
    std::atomic<bool> started = false;
    converter.setOnLog([&](const std::string& line) {
        if (line == "started") started = true;
    });
    std::stop_source stop;
    std::jthread canceller([&] {
        while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop.request_stop();
    });
    auto error = converterErrorOf([&] { converter.convert(folder_ / "a.ply", SplatOutputFormat::spz, folder_.path(), stop.get_token()); });
    EXPECT_STREQ(error.what(), "Converter exited with status -15");
    EXPECT_EQ(error.status, -15);
    EXPECT_FALSE(fs::exists(folder_ / "a.spz"));
}

TEST(SplatTransformLookup, SearchPathThenProjectInstallThenNpmGlobalPrefix) {
    TempDir folder;
    auto tool = [&](const std::string& dir) {
        return tessaron::testing::writeScript(folder / dir / "splat-transform", "exit 0\n");
    };
    fs::path onPath = tool("path"), project = tool("project"), npmBin = tool("npm/bin");
    writeTextFile(folder / "notexec/splat-transform", "x");  // not executable: skipped
    int npmAsked = 0;
    auto npm = [&]() -> std::optional<fs::path> {
        ++npmAsked;
        return folder / "npm";
    };
    using Places = SplatConverterRunner::SplatTransformPlaces;
    std::string searchPath = (folder / "empty").string() + "::" + (folder / "notexec").string() + ":" + (folder / "path").string();
    EXPECT_EQ(SplatConverterRunner::splatTransformPath(Places{searchPath, folder / "project", npm}), onPath);
    EXPECT_EQ(npmAsked, 0);
    EXPECT_EQ(SplatConverterRunner::splatTransformPath(Places{"", folder / "project", npm}), project);
    EXPECT_EQ(SplatConverterRunner::splatTransformPath(Places{"", folder / "none", npm}), npmBin);
    EXPECT_EQ(SplatConverterRunner::splatTransformPath(Places{"", {}, [] { return std::nullopt; }}), std::nullopt);
}

TEST(SplatTransformLookup, ChildSearchPathPutsToolAndNodeFirstAndKeepsTheInheritedOne) {
    EXPECT_EQ(SplatConverterRunner::splatTransformSearchPath("/deps/.bin/splat-transform", fs::path("/opt/node/bin/node"),
                                                             "/usr/bin:/bin"),
              "/deps/.bin:/opt/node/bin:/usr/bin:/bin");
    EXPECT_EQ(SplatConverterRunner::splatTransformSearchPath("/usr/bin/splat-transform", fs::path("/usr/bin/node"), "/bin"),
              "/usr/bin:/bin");
    EXPECT_EQ(SplatConverterRunner::splatTransformSearchPath("/x/splat-transform", std::nullopt, ""), "/x");
}

// The real backends: our SplatConverter and the installed splat-transform.
class RealConversion : public ::testing::TestWithParam<SplatOutputFormat> {
protected:
    void SetUp() override {
        if (!SplatConverterRunner::resourceConverterPath()) GTEST_FAIL() << "SplatConverter is not built";
        // splat-transform converts half the formats and reads every result back.
        if (!SplatConverterRunner::splatTransformPath())
            GTEST_SKIP() << "splat-transform is not installed: run scripts/setup.sh";
        tessaron::testing::writeScene(folder_ / "a.ply", count_);
    }

    // How many Gaussians splat-transform reads from `file`, through a CSV.
    std::size_t countBySplatTransform(const fs::path& file) {
        auto tool = SplatConverterRunner::splatTransformPath();
        if (!tool) return 0;
        tessaron::engines::ProcessRunner runner;
        fs::path csv = folder_ / (file.filename().string() + ".csv");
        int32_t status =
            runner.run({.executablePath = tool->string(), .arguments = {"-q", "-w", file.string(), csv.string()}},
                       [](const std::string&) {});
        EXPECT_EQ(status, 0) << "splat-transform could not read " << file;
        std::ifstream lines(csv);
        std::string line;
        std::size_t rows = 0;
        while (std::getline(lines, line))
            if (!line.empty()) ++rows;
        return rows == 0 ? 0 : rows - 1;  // without the header
    }

    // How many Gaussians the written `output` of the test's format holds.
    std::size_t gaussiansIn(const fs::path& output);

    TempDir folder_;
    const std::size_t count_ = 150;
};

// splat-transform reads no .glb; the count stands in the glTF JSON chunk.
std::size_t glbGaussianCount(const fs::path& file) {
    std::string bytes = readTextFile(file);
    if (bytes.size() < 20 || bytes.compare(0, 4, "glTF") != 0) return 0;
    uint32_t jsonLength = 0;
    std::memcpy(&jsonLength, bytes.data() + 12, 4);
    if (jsonLength > bytes.size() - 20) return 0;
    auto json = nlohmann::json::parse(bytes.substr(20, jsonLength));
    auto position = json.at("meshes").at(0).at("primitives").at(0).at("attributes").at("POSITION").get<std::size_t>();
    return json.at("accessors").at(position).at("count").get<std::size_t>();
}

// The bytes of standard base64 text: decoding stops at the padding and passes
// over anything else outside the alphabet (line breaks).
std::string fromBase64(std::string_view text) {
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        size_t value = alphabet.find(c);
        if (value == std::string_view::npos) continue;
        bits = (bits << 6) | uint32_t(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(char((bits >> count) & 0xFF));
        }
    }
    return bytes;
}

// The self-contained viewer embeds the scene as a SOG archive in base64.
fs::path extractEmbeddedSog(const fs::path& html, const fs::path& output) {
    std::string text = readTextFile(html);
    const std::string marker = "data:application/octet-stream;base64,";
    auto start = text.find(marker);
    if (start == std::string::npos) return {};
    start += marker.size();
    auto end = text.find_first_of("\"'`)", start);
    writeTextFile(output, fromBase64(text.substr(start, end - start)));
    return output;
}

std::size_t RealConversion::gaussiansIn(const fs::path& output) {
    switch (GetParam()) {
    case SplatOutputFormat::glb:
        return glbGaussianCount(output);
    case SplatOutputFormat::html:
        return countBySplatTransform(extractEmbeddedSog(output, folder_ / "embedded.sog"));
    default:
        return countBySplatTransform(output);
    }
}

TEST_P(RealConversion, WritesAFileWithEveryGaussian) {
    SplatConverterRunner converter(std::make_shared<tessaron::engines::ProcessRunner>());
    LogLines log;
    log.attach(converter);
    fs::path output = converter.convert(folder_ / "a.ply", GetParam(), folder_.path());
    EXPECT_EQ(output, folder_ / ("a" + std::string(fileExtension(GetParam()))));
    ASSERT_TRUE(fs::exists(output));
    EXPECT_EQ(gaussiansIn(output), count_);
    auto lines = log.snapshot();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "✓ Wrote " + output.string());
}

INSTANTIATE_TEST_SUITE_P(AllFormats, RealConversion, ::testing::ValuesIn(allSplatOutputFormats),
                         [](const auto& info) { return std::string(toString(info.param)); });

// Either backend makes an output folder that does not exist yet.
class RealConversionIntoNewFolder : public RealConversion {};

TEST_P(RealConversionIntoNewFolder, MakesTheFolder) {
    SplatConverterRunner converter(std::make_shared<tessaron::engines::ProcessRunner>());
    const fs::path folder = folder_ / "new" / "deeper";
    fs::path output = converter.convert(folder_ / "a.ply", GetParam(), folder);
    EXPECT_EQ(output, folder / ("a" + std::string(fileExtension(GetParam()))));
    EXPECT_EQ(gaussiansIn(output), count_);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, RealConversionIntoNewFolder, ::testing::ValuesIn(allSplatOutputFormats),
                         [](const auto& info) { return std::string(toString(info.param)); });

// splat-transform's compressed PLY, which our readers do not take: whole, it
// goes to splat-transform; cut short, it is refused by its size; our own
// converter's formats refuse it by its layout.
class RealCompressedInput : public RealConversion {
protected:
    void SetUp() override {
        RealConversion::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        tessaron::engines::ProcessRunner runner;
        int32_t status = runner.run({.executablePath = SplatConverterRunner::splatTransformPath()->string(),
                                     .arguments = {"-q", "-w", (folder_ / "a.ply").string(), whole_.string()}},
                                    [](const std::string&) {});
        ASSERT_EQ(status, 0);
        const std::string bytes = readTextFile(whole_);
        ASSERT_NE(bytes.find("element chunk"), std::string::npos);
        ASSERT_NE(bytes.find("packed_position"), std::string::npos);
        ASSERT_NE(bytes.find("element sh"), std::string::npos);  // the bands of writeScene
        wholeSize_ = bytes.size();
        writeTextFile(cut_, bytes.substr(0, bytes.size() - 100));
    }

    const fs::path whole_ = folder_ / "scene.compressed.ply", cut_ = folder_ / "cut.compressed.ply";
    std::size_t wholeSize_ = 0;
};

TEST_P(RealCompressedInput, ConvertsBySplatTransformAndIsRefusedByNameOtherwise) {
    SplatConverterRunner converter(std::make_shared<tessaron::engines::ProcessRunner>());
    const fs::path out = folder_ / "out";
    fs::create_directories(out);
    const std::string ourRefusal = " is a compressed PLY, which only the splat-transform formats "
                                   "(.sog, .compressed.ply, .glb, .html) can convert";

    auto cut = converterErrorOf([&] { converter.convert(cut_, GetParam(), out); });
    EXPECT_EQ(cut.kind(), ErrorKind::unreadableInput);
    if (backend(GetParam()) == SplatConverterBackend::splatTransform) {
        EXPECT_EQ(std::string(cut.what()), "cut.compressed.ply is an incomplete compressed PLY (" +
                                               std::to_string(wholeSize_ - 100) + " of " +
                                               std::to_string(wholeSize_) + " bytes)");
    } else {
        EXPECT_EQ(std::string(cut.what()), "cut.compressed.ply" + ourRefusal);
    }
    EXPECT_TRUE(fs::is_empty(out));

    if (backend(GetParam()) == SplatConverterBackend::splatTransform) {
        fs::path output = converter.convert(whole_, GetParam(), out);
        EXPECT_EQ(output, out / ("scene.compressed" + std::string(fileExtension(GetParam()))));
        EXPECT_EQ(gaussiansIn(output), count_);
    } else {
        auto error = converterErrorOf([&] { converter.convert(whole_, GetParam(), out); });
        EXPECT_EQ(error.kind(), ErrorKind::unreadableInput);
        EXPECT_EQ(std::string(error.what()), "scene.compressed.ply" + ourRefusal);
        EXPECT_TRUE(fs::is_empty(out));
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, RealCompressedInput, ::testing::ValuesIn(allSplatOutputFormats),
                         [](const auto& info) { return std::string(toString(info.param)); });

TEST(RealConversionNaming, ConvertingTwiceGivesTheConvertedName) {
    TempDir folder;
    tessaron::testing::writeScene(folder / "a.ply", 10);
    SplatConverterRunner converter(std::make_shared<tessaron::engines::ProcessRunner>());
    EXPECT_EQ(converter.convert(folder / "a.ply", SplatOutputFormat::spz, folder.path()), folder / "a.spz");
    EXPECT_EQ(converter.convert(folder / "a.ply", SplatOutputFormat::spz, folder.path()), folder / "a-converted.spz");
}

TEST(RealConversionFailure, AnUnreadableInputLeavesNoOutputWithEitherBackend) {
    TempDir folder;
    writeTextFile(folder / "broken.ply", "ply\nformat binary_little_endian 1.0\nelement vertex 99\nend_header\nxx");
    SplatConverterRunner converter(std::make_shared<tessaron::engines::ProcessRunner>());
    std::vector<SplatOutputFormat> formats{SplatOutputFormat::spz};
    if (SplatConverterRunner::splatTransformPath()) formats.push_back(SplatOutputFormat::compressedPly);
    for (auto format : formats) {
        auto error = converterErrorOf([&] { converter.convert(folder / "broken.ply", format, folder.path()); });
        if (format == SplatOutputFormat::spz) {
            EXPECT_EQ(error.kind(), ErrorKind::exit);
            EXPECT_GT(error.status.value_or(0), 0);
        } else {
            // Refused by our reader before splat-transform is given it.
            EXPECT_EQ(error.kind(), ErrorKind::unreadableInput) << error.what();
        }
    }
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(folder.path())) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<fs::path>{"broken.ply"});
}
