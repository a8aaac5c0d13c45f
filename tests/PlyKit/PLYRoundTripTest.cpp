#include <gtest/gtest.h>
#include <sys/resource.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>

#include "PlyKit/ByteCodec.hpp"
#include "PlyKit/PLYReader.hpp"
#include "PlyKit/PLYWriter.hpp"
#include "PlyTestSupport.hpp"
#include "support/DecimalCommaLocale.hpp"
#include "support/TempDir.hpp"

using plykit::PLYElement;
using plykit::PLYHeader;
using plykit::PLYReader;
using plykit::PLYWriter;
using Format = PLYHeader::Format;
using Type = PLYHeader::PrimitivePropertyType;
using namespace plykit::testing;
namespace fs = std::filesystem;

namespace {

template <typename T>
using Limits = std::numeric_limits<T>;

// Equal values, floats compared by bit pattern; NaN payloads only where the
// encoding keeps them (binary).
bool sameValue(const PLYElement::Property& a, const PLYElement::Property& b, bool keepsNaNBits) {
    if (a.index() != b.index()) return false;
    return std::visit(
        [&](const auto& left) {
            using Value = std::decay_t<decltype(left)>;
            const auto& right = std::get<Value>(b.value());
            auto same = [&](auto x, auto y) {
                if constexpr (std::is_floating_point_v<decltype(x)>) {
                    if (std::isnan(x) && !keepsNaNBits) return bool(std::isnan(y));
                    return plykit::bitPattern(x) == plykit::bitPattern(y);
                } else {
                    return x == y;
                }
            };
            if constexpr (std::is_arithmetic_v<Value>) {
                return same(left, right);
            } else {
                if (left.size() != right.size()) return false;
                for (std::size_t i = 0; i < left.size(); ++i)
                    if (!same(left[i], right[i])) return false;
                return true;
            }
        },
        a.value());
}

// Every scalar type, then a list of every value type with a count type of
// every integer width, at the limits of each type.
PLYHeader limitsHeader(Format format) {
    PLYHeader header{format, "1.0", {{"limits", 4, {}}, {"nothing", 0, {scalar("z", Type::int8)}}}};
    for (int i = 0; i < 8; ++i) header.elements[0].properties.push_back(scalar("s" + std::to_string(i), Type(i)));
    for (int i = 0; i < 8; ++i)
        header.elements[0].properties.push_back(list("l" + std::to_string(i), Type(i % 6), Type(i)));
    return header;
}

std::vector<PLYElement> limitsElements() {
    const float nanFloat = plykit::fromBitPattern<float>(0x7FC12345u);
    const double nanDouble = plykit::fromBitPattern<double>(0xFFF8000000ABCDEFull);
    auto row = [](auto... scalars) { return std::vector<PLYElement::Property>{scalars...}; };
    std::vector<std::vector<PLYElement::Property>> scalars = {
        row(Limits<std::int8_t>::min(), Limits<std::uint8_t>::min(), Limits<std::int16_t>::min(),
            Limits<std::uint16_t>::min(), Limits<std::int32_t>::min(), Limits<std::uint32_t>::min(), -0.0f, -0.0),
        row(Limits<std::int8_t>::max(), Limits<std::uint8_t>::max(), Limits<std::int16_t>::max(),
            Limits<std::uint16_t>::max(), Limits<std::int32_t>::max(), Limits<std::uint32_t>::max(),
            Limits<float>::max(), Limits<double>::max()),
        row(std::int8_t(0), std::uint8_t(1), std::int16_t(-1), std::uint16_t(2), std::int32_t(-3), std::uint32_t(4),
            nanFloat, nanDouble),
        row(std::int8_t(-1), std::uint8_t(0), std::int16_t(0), std::uint16_t(0), std::int32_t(0), std::uint32_t(0),
            Limits<float>::denorm_min(), -Limits<double>::infinity())};
    std::vector<PLYElement> elements;
    for (std::size_t r = 0; r < scalars.size(); ++r) {
        PLYElement element(scalars[r]);
        if (r == 3) {  // every list empty
            for (int i = 0; i < 8; ++i) {
                PLYElement::Property empty = scalars[0][std::size_t(i)];
                std::visit(
                    [&](auto value) {
                        if constexpr (std::is_arithmetic_v<decltype(value)>)
                            element.properties.push_back(std::vector<decltype(value)>{});
                    },
                    empty.value());
            }
        } else {
            for (int i = 0; i < 8; ++i)
                std::visit(
                    [&](auto value) {
                        if constexpr (std::is_arithmetic_v<decltype(value)>)
                            element.properties.push_back(std::vector<decltype(value)>(3, value));
                    },
                    scalars[r][std::size_t(i)].value());
        }
        elements.push_back(std::move(element));
    }
    elements[2].properties[14] = std::vector<float>{nanFloat, 0.1f, -Limits<float>::min()};
    return elements;
}

class PlyRoundTrip : public ::testing::TestWithParam<Format> {};

TEST_P(PlyRoundTrip, LimitsSurviveEveryEncoding) {
    const auto header = limitsHeader(GetParam());
    const auto elements = limitsElements();
    auto file = writeToMemory(header, elements);
    auto result = PLYReader(file).read();
    EXPECT_EQ(result.header, header);
    EXPECT_EQ(textOf(file).substr(0, header.description().size() + 11), header.description() + "end_header\n");
    auto byType = elementsByType(result.header, readAllSeries(result.elements));
    ASSERT_EQ(byType[0].size(), elements.size());
    EXPECT_TRUE(byType[1].empty());
    const bool keepsNaNBits = GetParam() != Format::ascii;
    for (std::size_t e = 0; e < elements.size(); ++e)
        for (std::size_t p = 0; p < elements[e].properties.size(); ++p)
            EXPECT_TRUE(sameValue(byType[0][e].properties[p], elements[e].properties[p], keepsNaNBits))
                << "element " << e << " property " << p << ": " << byType[0][e].properties[p].description();
    // Written again, the decoded values give the same bytes.
    EXPECT_EQ(writeToMemory(header, byType[0]), file);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, PlyRoundTrip,
                         ::testing::Values(Format::ascii, Format::binaryLittleEndian, Format::binaryBigEndian));

// --- Files converted by the developer tool, as from outside.

PLYHeader gaussianHeader(Format format, std::uint32_t count) {
    PLYHeader header{format, "1.0", {{"vertex", count, {}}}};
    std::vector<std::string> names = {"x", "y", "z", "nx", "ny", "nz", "f_dc_0", "f_dc_1", "f_dc_2"};
    for (int i = 0; i < 45; ++i) names.push_back("f_rest_" + std::to_string(i));
    for (const char* name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"})
        names.push_back(name);
    for (const auto& name : names) header.elements[0].properties.push_back(scalar(name, Type::float32));
    return header;
}

void writeGaussians(const fs::path& path, Format format, std::uint32_t count, std::uint64_t seed) {
    std::mt19937 random(static_cast<std::uint32_t>(seed));
    std::normal_distribution<float> normal(0.0f, 2.0f);
    auto header = gaussianHeader(format, count);
    PLYWriter writer(path);
    writer.write(header);
    std::vector<PLYElement> batch(std::min<std::uint32_t>(count, 4096), PLYElement(std::vector<PLYElement::Property>(62, 0.0f)));
    for (std::uint32_t written = 0; written < count;) {
        std::size_t n = std::min<std::size_t>(batch.size(), count - written);
        for (std::size_t i = 0; i < n; ++i)
            for (auto& property : batch[i].properties) property = normal(random);
        writer.write(batch, n);
        written += std::uint32_t(n);
    }
    writer.close();
}

std::vector<std::uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int runTool(const std::string& arguments) {
    return std::system((std::string(TESSARON_TOOL_PATH) + " " + arguments + " >/dev/null 2>&1").c_str());
}

TEST(PlyConversion, LittleToASCIIToBigToLittleIsByteIdentical) {
    tessaron::testing::TempDir folder;
    const fs::path gaussians = folder / "gaussians.ply";
    writeGaussians(gaussians, Format::binaryLittleEndian, 1000, 7);

    const fs::path mesh = folder / "mesh.ply";
    PLYHeader meshHeader{Format::binaryLittleEndian,
                         "1.0",
                         {{"vertex", 4, {scalar("x", Type::float32), scalar("y", Type::float32), scalar("z", Type::float32)}},
                          {"face", 3, {list("vertex_indices", Type::uint8, Type::int32)}}}};
    PLYWriter writer(mesh);
    writer.write(meshHeader);
    writer.write(std::vector<PLYElement>{PLYElement({0.0f, 0.0f, 0.0f}), PLYElement({1.0f, 0.0f, 0.0f}),
                                         PLYElement({0.0f, 1.0f, 0.0f}), PLYElement({0.0f, 0.0f, -1.5f})});
    writer.write(std::vector<PLYElement>{PLYElement({std::vector<std::int32_t>{0, 1, 2}}),
                                         PLYElement({std::vector<std::int32_t>{0, 2, 3, 1}}),
                                         PLYElement({std::vector<std::int32_t>{}})});
    writer.close();

    for (const auto& original : {gaussians, mesh}) {
        SCOPED_TRACE(original.string());
        const fs::path ascii = folder / "a.ply", big = folder / "b.ply", little = folder / "c.ply";
        ASSERT_EQ(runTool("ply convert " + original.string() + " " + ascii.string() + " --format ascii"), 0);
        ASSERT_EQ(runTool("ply convert " + ascii.string() + " " + big.string() + " --format binary_big_endian"), 0);
        ASSERT_EQ(runTool("ply convert " + big.string() + " " + little.string() + " --format binary_little_endian"), 0);
        EXPECT_EQ(fileBytes(little), fileBytes(original));
        EXPECT_NE(fileBytes(big), fileBytes(original));
        auto asciiText = textOf(fileBytes(ascii));
        EXPECT_EQ(asciiText.find(','), std::string::npos);
    }
    EXPECT_EQ(runTool("ply convert " + mesh.string() + " " + (folder / "x.ply").string() + " --format binary"), 512);
    EXPECT_NE(runTool("ply convert " + (folder / "missing.ply").string() + " " + (folder / "x.ply").string() +
                      " --format ascii"),
              0);
}

// --- An independent reader: Python's struct module, when Python is here.

bool havePython() { return std::system("python3 -c 'import struct' >/dev/null 2>&1") == 0; }

TEST(PlyIndependentCheck, PythonStructReadsOurBinaryAndWritesOneWeRead) {
    if (!havePython()) GTEST_SKIP() << "python3 is not available";
    tessaron::testing::TempDir folder;
    PLYHeader header{Format::binaryBigEndian,
                     "1.0",
                     {{"vertex", 2, {scalar("x", Type::float32), scalar("id", Type::int16), scalar("w", Type::float64)}},
                      {"face", 1, {list("vertex_indices", Type::uint8, Type::uint32)}}}};
    PLYWriter writer(folder / "ours.ply");
    writer.write(header);
    writer.write(std::vector<PLYElement>{PLYElement({0.5f, std::int16_t(-300), 1e-300}),
                                         PLYElement({-2.25f, std::int16_t(32767), -0.0})});
    writer.write(PLYElement({std::vector<std::uint32_t>{4000000000u, 1u}}));
    writer.close();

    const std::string script = R"PY(
import struct, sys
data = open(sys.argv[1], 'rb').read()
end = data.index(b'end_header\n') + len(b'end_header\n')
body = data[end:]
x0, i0, w0, x1, i1, w1 = struct.unpack_from('>fhdfhd', body, 0)
count = body[28]
faces = struct.unpack_from('>%dI' % count, body, 29)
assert len(body) == 29 + 4 * count, len(body)
print(repr(x0), i0, repr(w0), repr(x1), i1, repr(w1), count, *faces)
header = b'ply\nformat binary_little_endian 1.0\nelement point 2\nproperty double v\nproperty list ushort char c\nend_header\n'
body = struct.pack('<dH3bdH0b', 0.1, 3, -128, 0, 127, float('-inf'), 0)
open(sys.argv[2], 'wb').write(header + body)
)PY";
    tessaron::testing::writeTextFile(folder / "check.py", script);
    std::string command = "python3 " + (folder / "check.py").string() + " " + (folder / "ours.ply").string() + " " +
                          (folder / "theirs.ply").string() + " > " + (folder / "out.txt").string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(tessaron::testing::readTextFile(folder / "out.txt"),
              "0.5 -300 1e-300 -2.25 32767 -0.0 2 4000000000 1\n");

    auto result = PLYReader(folder / "theirs.ply").read();
    auto byType = elementsByType(result.header, readAllSeries(result.elements));
    ASSERT_EQ(byType[0].size(), 2u);
    EXPECT_EQ(byType[0][0], PLYElement({0.1, std::vector<std::int8_t>{-128, 0, 127}}));
    EXPECT_EQ(byType[0][1], PLYElement({-Limits<double>::infinity(), std::vector<std::int8_t>{}}));
}

// --- Locale: a decimal comma in the process locale changes nothing.

TEST(PlyLocale, DecimalCommaLocaleChangesNoText) {
    tessaron::testing::TempDir folder;
    if (!tessaron::testing::useDecimalCommaLocale(folder)) GTEST_SKIP() << "no German locale can be made here";
    char formatted[16];
    std::snprintf(formatted, sizeof formatted, "%.1f", 1.5);
    EXPECT_STREQ(formatted, "1,5");  // the locale is in force

    const std::string file = "ply\nformat ascii 1.0\nelement v 2\nproperty float x\nproperty double y\nend_header\n"
                             "1.5 -2.25e-3\n1e+39 0x1p-3\n";
    auto result = PLYReader(bytesOf(file)).read();
    auto byType = elementsByType(result.header, readAllSeries(result.elements));
    std::setlocale(LC_NUMERIC, "C");
    ASSERT_EQ(byType[0].size(), 2u);
    EXPECT_EQ(byType[0][0], PLYElement({1.5f, -2.25e-3}));
    EXPECT_EQ(byType[0][1], PLYElement({Limits<float>::infinity(), 0.125}));

    tessaron::testing::useDecimalCommaLocale(folder);
    auto written = textOf(writeToMemory(result.header, byType[0]));
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(written.substr(written.find("end_header\n") + 11), "1.5 -0.00225\ninf 0.125\n");
}

// --- A big file streams through in batches with bounded memory.

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

long peakResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(PlyBigFile, StreamsInBatchesWithinBoundedMemory) {
    tessaron::testing::TempDir folder;
    const std::uint32_t count = 250'000;  // 62 MB of Gaussians
    writeGaussians(folder / "big.ply", Format::binaryBigEndian, count, 11);
    ASSERT_GT(fs::file_size(folder / "big.ply"), 62'000'000u);

    long before = peakResidentKilobytes();
    auto result = PLYReader(folder / "big.ply").read();
    std::uint64_t elements = 0, batches = 0;
    double sum = 0;
    for (const auto& series : result.elements) {
        ++batches;
        elements += series.elements.size();
        for (const auto& element : series.elements) sum += std::get<float>(element.properties[0].value());
    }
    long grownKilobytes = peakResidentKilobytes() - before;
    EXPECT_EQ(elements, count);
    EXPECT_GT(batches, 1000u);
    EXPECT_TRUE(std::isfinite(sum));
    // AddressSanitizer keeps freed blocks in quarantine: no measure there.
    if (!kAddressSanitizer) {
        EXPECT_LT(grownKilobytes, 64 * 1024) << "peak memory grew by " << grownKilobytes << " kB";
    }
}

}  // namespace

TEST(PlyConversion, InPlaceConversionWorksAndAFailedOneLeavesTheTargetUntouched) {
    tessaron::testing::TempDir folder;
    const fs::path model = folder / "x.ply";
    writeGaussians(model, Format::binaryLittleEndian, 50, 3);
    const auto original = fileBytes(model);

    ASSERT_EQ(runTool("ply convert " + model.string() + " " + model.string() + " --format ascii"), 0);
    EXPECT_EQ(PLYReader(model).read().header.format, Format::ascii);
    ASSERT_EQ(runTool("ply convert " + model.string() + " " + model.string() + " --format binary_little_endian"), 0);
    EXPECT_EQ(fileBytes(model), original);

    // 2^32 - 1 instances of an element without properties: refused at once as
    // ASCII, and the existing output stays as it was.
    const fs::path hostile = folder / "hostile.ply";
    tessaron::testing::writeTextFile(hostile, "ply\nformat binary_little_endian 1.0\nelement e 4294967295\nend_header\n");
    EXPECT_NE(runTool("ply convert " + hostile.string() + " " + model.string() + " --format ascii"), 0);
    EXPECT_EQ(fileBytes(model), original);
    ASSERT_EQ(runTool("ply convert " + hostile.string() + " " + (folder / "copy.ply").string() +
                      " --format binary_big_endian"),
              0);
    EXPECT_EQ(PLYReader(folder / "copy.ply").read().header.elements.at(0).count, 4294967295u);
}
