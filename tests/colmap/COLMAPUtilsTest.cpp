#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "colmap/COLMAPUtils.hpp"
#include "support/Fifo.hpp"
#include "support/ModelFixtures.hpp"
#include "generators/SyntheticScene.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::colmap;
using tessaron::testing::makeModel;
using tessaron::testing::readTextFile;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

namespace {

// Little-endian bytes built field by field, to craft files by hand.
class Bytes {
public:
    template <typename Value>
    Bytes& put(Value value) {
        char raw[sizeof(Value)];
        std::memcpy(raw, &value, sizeof(Value));
        data.append(raw, sizeof(Value));
        return *this;
    }
    Bytes& text(const std::string& bytes) {
        data += bytes;
        return *this;
    }
    std::string data;
};

void expectTruncated(const std::function<void()>& read, int64_t offset, int64_t need, int64_t have) {
    try {
        read();
        FAIL() << "expected a truncation error";
    } catch (const COLMAPUtils::ParseError& error) {
        EXPECT_EQ(error.kind(), COLMAPUtils::ParseErrorKind::truncated);
        EXPECT_EQ(error.offset, offset);
        EXPECT_EQ(error.need, need);
        EXPECT_EQ(error.have, have);
        EXPECT_STREQ(error.what(), ("COLMAP file is truncated (needs " + std::to_string(need) + " bytes at offset " +
                                    std::to_string(offset) + ", has " + std::to_string(have) + ")")
                                       .c_str());
    }
}

}  // namespace

TEST(COLMAPUtils, WritesTheExactByteLayout) {
    TempDir folder;
    CameraMap cameras{{7, CameraModel{7, 0, 640, 480, {500.0, 320.0, 240.0}}}};
    ImageModel image{3, 1.0, 0.0, 0.5, 0.0, 1.5, -2.0, 3.0, 7, "a.jpg", {}};
    image.points2D = {{1.25, 2.5, 9}, {3.0, 4.0, ImageModel::kNoPoint3D}};
    ImageMap images{{3, image}};
    Point3DMap points{{9, Point3DModel{9, 0.5, 1.5, 2.5, 10, 20, 30, 0.75, {{3, 0}, {4, 2}}}}};
    COLMAPUtils::writeModel(cameras, images, points, folder.path());

    Bytes expectedCameras;
    expectedCameras.put<uint64_t>(1).put<int32_t>(7).put<int32_t>(0).put<uint64_t>(640).put<uint64_t>(480);
    expectedCameras.put(500.0).put(320.0).put(240.0);
    EXPECT_EQ(readTextFile(folder / "cameras.bin"), expectedCameras.data);

    Bytes expectedImages;
    expectedImages.put<uint64_t>(1).put<int32_t>(3).put(1.0).put(0.0).put(0.5).put(0.0).put(1.5).put(-2.0).put(3.0);
    expectedImages.put<int32_t>(7).text(std::string("a.jpg\0", 6)).put<uint64_t>(2);
    expectedImages.put(1.25).put(2.5).put<uint64_t>(9).put(3.0).put(4.0).put<uint64_t>(UINT64_MAX);
    EXPECT_EQ(readTextFile(folder / "images.bin"), expectedImages.data);

    Bytes expectedPoints;
    expectedPoints.put<uint64_t>(1).put<uint64_t>(9).put(0.5).put(1.5).put(2.5);
    expectedPoints.put<uint8_t>(10).put<uint8_t>(20).put<uint8_t>(30).put(0.75).put<uint64_t>(2);
    expectedPoints.put<int32_t>(3).put<int32_t>(0).put<int32_t>(4).put<int32_t>(2);
    EXPECT_EQ(readTextFile(folder / "points3D.bin"), expectedPoints.data);

    COLMAPModel model = COLMAPUtils::readModel(folder.path());
    EXPECT_EQ(model.cameras, cameras);
    EXPECT_EQ(model.images, images);
    EXPECT_EQ(model.points3D, points);
}

TEST(COLMAPUtils, RoundTripKeepsEveryFieldAndTheLimits) {
    TempDir folder;
    COLMAPModel model = makeModel(6, 40, 4);
    // 32-bit ids of 2^31 and more come back as the same bits, negative.
    ImageModel wide = model.images.begin()->second;
    wide.imageId = int32_t(0x80000001u);
    wide.cameraId = 2;
    model.images[wide.imageId] = wide;
    model.points3D[1].track.push_back({int32_t(0xFFFFFFFEu), int32_t(0x80000000u)});
    model.points3D[UINT64_MAX - 1] = Point3DModel{UINT64_MAX - 1, -0.0, 1e300, -1e-300, 255, 0, 1, 0.0, {}};
    for (int modelId = 0; modelId < 11; ++modelId) {
        CameraModel camera{100 + modelId, modelId, UINT64_MAX, 1, {}};
        for (int index = 0; index < COLMAPUtils::cameraParameterCounts[size_t(modelId)]; ++index)
            camera.params.push_back(index * 0.5 - 1);
        model.cameras[camera.cameraId] = camera;
    }
    COLMAPUtils::writeModel(model, folder / "nested/deeper/sparse/0");
    COLMAPModel read = COLMAPUtils::readModel(folder / "nested/deeper/sparse/0");
    EXPECT_EQ(read.cameras, model.cameras);
    EXPECT_EQ(read.images, model.images);
    EXPECT_EQ(read.points3D, model.points3D);
    EXPECT_EQ(read.images.count(int32_t(-2147483647)), 1u);
}

// A link planted at a model file's name (a copy into a folder someone
// prepared, a cell being cut again) is replaced by the model file; the file
// it named elsewhere keeps its bytes and its mode.
TEST(COLMAPUtils, ALinkAtAModelFileIsReplacedAndWhatItNamesIsKept) {
    TempDir folder, elsewhere;
    const std::filesystem::path model = folder / "sparse/0";
    std::filesystem::create_directories(model);
    const auto privateMode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
    for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"}) {
        writeTextFile(elsewhere / name, std::string("the user's own ") + name);
        std::filesystem::permissions(elsewhere / name, privateMode);
        std::filesystem::create_symlink(elsewhere / name, model / name);
    }
    const COLMAPModel written = makeModel(2, 5, 3);
    COLMAPUtils::writeModel(written, model);
    for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"}) {
        EXPECT_FALSE(std::filesystem::is_symlink(model / name)) << name;
        EXPECT_EQ(readTextFile(elsewhere / name), std::string("the user's own ") + name);
        EXPECT_EQ(std::filesystem::status(elsewhere / name).permissions() & std::filesystem::perms::all, privateMode)
            << name;
    }
    EXPECT_EQ(COLMAPUtils::readModel(model), written);
}

TEST(COLMAPUtils, EmptyMapsWriteThreeEightByteFilesOfZeros) {
    TempDir folder;
    COLMAPUtils::writeModel(CameraMap{}, ImageMap{}, Point3DMap{}, folder.path());
    for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"})
        EXPECT_EQ(readTextFile(folder / name), std::string(8, '\0')) << name;
    COLMAPModel model = COLMAPUtils::readModel(folder.path());
    EXPECT_TRUE(model.cameras.empty() && model.images.empty() && model.points3D.empty());
}

TEST(COLMAPUtils, LaterRecordWithTheSameIdWinsAndTrailingBytesAreIgnored) {
    TempDir folder;
    Bytes file;
    file.put<uint64_t>(2);
    file.put<int32_t>(5).put<int32_t>(0).put<uint64_t>(10).put<uint64_t>(20).put(1.0).put(2.0).put(3.0);
    file.put<int32_t>(5).put<int32_t>(0).put<uint64_t>(30).put<uint64_t>(40).put(4.0).put(5.0).put(6.0);
    file.text("trailing garbage");
    writeTextFile(folder / "cameras.bin", file.data);
    CameraMap cameras = COLMAPUtils::readCameras(folder / "cameras.bin");
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[5], (CameraModel{5, 0, 30, 40, {4.0, 5.0, 6.0}}));
}

TEST(COLMAPUtils, UnsupportedCameraModelIsReportedAfterWidthAndHeight) {
    TempDir folder;
    for (int32_t modelId : {11, -3}) {
        Bytes file;
        file.put<uint64_t>(1).put<int32_t>(1).put<int32_t>(modelId).put<uint64_t>(640).put<uint64_t>(480);
        writeTextFile(folder / "cameras.bin", file.data);
        try {
            COLMAPUtils::readCameras(folder / "cameras.bin");
            FAIL() << "model " << modelId << " was accepted";
        } catch (const COLMAPUtils::ParseError& error) {
            EXPECT_EQ(error.kind(), COLMAPUtils::ParseErrorKind::unsupportedCameraModel);
            EXPECT_EQ(error.code, 1);
            EXPECT_STREQ(error.what(), ("Unsupported COLMAP camera model " + std::to_string(modelId)).c_str());
        }
    }
    // Cut inside the height: truncation comes first.
    Bytes cut;
    cut.put<uint64_t>(1).put<int32_t>(1).put<int32_t>(11).put<uint64_t>(640).put<uint32_t>(0);
    writeTextFile(folder / "cameras.bin", cut.data);
    expectTruncated([&] { COLMAPUtils::readCameras(folder / "cameras.bin"); }, 24, 8, 28);
}

TEST(COLMAPUtils, TruncationReportsTheFailingFieldAndTheWholeFileSize) {
    TempDir folder;
    writeTextFile(folder / "cameras.bin", std::string(4, '\0'));
    expectTruncated([&] { COLMAPUtils::readCameras(folder / "cameras.bin"); }, 0, 8, 4);

    // A name whose zero byte never comes fails at the end of the file.
    Bytes image;
    image.put<uint64_t>(1).put<int32_t>(1);
    for (int index = 0; index < 7; ++index) image.put(0.5);
    image.put<int32_t>(1).text("no_terminator.jpg");
    writeTextFile(folder / "images.bin", image.data);
    int64_t size = int64_t(image.data.size());
    expectTruncated([&] { COLMAPUtils::readImages(folder / "images.bin"); }, size, 1, size);
}

// The positions-only read sees exactly the points the full read sees, in
// ascending id order, with the later of two equal ids kept; tracks are
// passed over, not trusted.
TEST(COLMAPUtils, PointPositionsMatchTheFullReadWithoutTracks) {
    TempDir folder;
    COLMAPModel model = makeModel(4, 50, 3);
    COLMAPUtils::writePoints3D(model.points3D, folder / "points3D.bin");
    std::vector<PointPosition> expected;
    for (const auto& [id, point] : COLMAPUtils::readPoints3D(folder / "points3D.bin"))
        expected.push_back({id, point.x, point.y, point.z});
    EXPECT_EQ(COLMAPUtils::readPointPositions(folder / "points3D.bin"), expected);

    // Out of order, a repeated id, the id limit, an empty and a long track.
    Bytes points;
    points.put<uint64_t>(4);
    auto record = [&](uint64_t id, double x, uint64_t trackLength) {
        points.put(id).put(x).put(-x).put(0.25).put<uint8_t>(1).put<uint8_t>(2).put<uint8_t>(3).put(0.5);
        points.put(trackLength);
        for (uint64_t index = 0; index < trackLength; ++index) points.put<int32_t>(7).put<int32_t>(int32_t(index));
    };
    record(UINT64_MAX, 1.5, 0);
    record(9, 2.5, 3);
    record(3, 3.5, 1);
    record(9, 4.5, 0);
    writeTextFile(folder / "crafted.bin", points.data);
    EXPECT_EQ(COLMAPUtils::readPointPositions(folder / "crafted.bin"),
              (std::vector<PointPosition>{{3, 3.5, -3.5, 0.25}, {9, 4.5, -4.5, 0.25}, {UINT64_MAX, 1.5, -1.5, 0.25}}));

    // A track length that does not fit is a truncation, not an allocation.
    Bytes huge;
    huge.put<uint64_t>(1).put<uint64_t>(1).put(1.0).put(2.0).put(3.0);
    huge.put<uint8_t>(1).put<uint8_t>(2).put<uint8_t>(3).put(0.5).put<uint64_t>(UINT64_MAX / 2).put<int32_t>(4);
    writeTextFile(folder / "huge.bin", huge.data);
    expectTruncated([&] { COLMAPUtils::readPointPositions(folder / "huge.bin"); }, 8 + 51 + 4, 4, 8 + 51 + 4);
}

// Counts from the file are checked against the bytes left before anything
// is allocated: these would ask for exabytes if trusted.
TEST(COLMAPUtils, HugeCountsAreTruncationNotAllocation) {
    TempDir folder;
    Bytes points;
    points.put<uint64_t>(UINT64_MAX).put<uint64_t>(1).put(1.0).put(2.0).put(3.0);
    points.put<uint8_t>(1).put<uint8_t>(2).put<uint8_t>(3).put(0.5).put<uint64_t>(UINT64_MAX / 2).put<int32_t>(4);
    points.text("xyz");  // 7 bytes of track: one whole 4-byte field, then a cut
    writeTextFile(folder / "points3D.bin", points.data);
    expectTruncated([&] { COLMAPUtils::readPoints3D(folder / "points3D.bin"); }, 8 + 51 + 4, 4, 8 + 51 + 7);

    Bytes image;
    image.put<uint64_t>(1ULL << 62).put<int32_t>(1);
    for (int index = 0; index < 7; ++index) image.put(0.5);
    image.put<int32_t>(1).text(std::string("a\0", 2)).put<uint64_t>(1ULL << 60).put(1.0).put(2.0).text("abc");
    writeTextFile(folder / "images.bin", image.data);
    int64_t keypointsStart = 8 + 64 + 2 + 8;
    expectTruncated([&] { COLMAPUtils::readImages(folder / "images.bin"); }, keypointsStart + 16, 8,
                    keypointsStart + 19);
}

// A name is a path: bytes that are not UTF-8 (COLMAP writes what the file
// system gave it) are kept, or the file would not be found.
TEST(COLMAPUtils, NamesThatAreNotUTF8KeepTheirBytesAndFindTheirFiles) {
    TempDir folder;
    Bytes image;
    image.put<uint64_t>(1).put<int32_t>(4);
    for (int index = 0; index < 7; ++index) image.put(0.0);
    // A cut three-byte sequence, a stray byte, a surrogate and an overlong form.
    const std::string name("a\xE2\x82"
                           "b\xFF"
                           "c\xED\xA0\x80"
                           "d\xC0\xAF"
                           "\xC3\xA9.jpg",
                           18);
    image.put<int32_t>(1).text(name + std::string(1, '\0'));
    image.put<uint64_t>(0);
    writeTextFile(folder / "images.bin", image.data);
    ImageMap images = COLMAPUtils::readImages(folder / "images.bin");
    EXPECT_EQ(images[4].name, name);
    COLMAPUtils::writeImages(images, folder / "again.bin");
    EXPECT_EQ(readTextFile(folder / "again.bin"), image.data);

    // Latin-1 "café.jpg": from a written model to the file beside it.
    const std::string latin1 = "caf\xe9.jpg";
    writeTextFile(folder / "images" / latin1, "photo");
    images[4].name = latin1;
    COLMAPUtils::writeImages(images, folder / "latin1.bin");
    const std::string read = COLMAPUtils::readImages(folder / "latin1.bin")[4].name;
    EXPECT_EQ(read, latin1);
    EXPECT_EQ(readTextFile(folder / "images" / read), "photo");
}

TEST(COLMAPUtils, MissingFilesAndFoldersGiveTheSystemError) {
    TempDir folder;
    try {
        COLMAPUtils::readCameras(folder / "cameras.bin");
        FAIL();
    } catch (const COLMAPUtils::FileError& error) {
        EXPECT_TRUE(error.isNoSuchFile());
        EXPECT_NE(std::string(error.what()).find("cameras.bin"), std::string::npos);
    }
    std::filesystem::create_directory(folder / "images.bin");
    EXPECT_THROW(COLMAPUtils::readImages(folder / "images.bin"), COLMAPUtils::FileError);

    // The model read stops at the first missing file.
    COLMAPUtils::writeCameras({}, folder / "cameras.bin");
    try {
        COLMAPUtils::readModel(folder.path());
        FAIL();
    } catch (const COLMAPUtils::FileError& error) {
        EXPECT_EQ(error.path(), folder / "images.bin");
    }

    writeTextFile(folder / "file", "x");
    EXPECT_THROW(COLMAPUtils::writeModel(COLMAPModel{}, folder / "file/sparse"), COLMAPUtils::FileError);
}

// Every prefix of every file of a small model is a truncation with the exact
// size, never a crash or a read past the end (the sanitizer build checks the
// latter).
TEST(COLMAPUtils, EveryPrefixOfAModelIsATruncation) {
    TempDir folder;
    COLMAPModel model = makeModel(3, 5, 2);
    COLMAPUtils::writeModel(model, folder / "whole");
    using Reader = std::function<void(const std::filesystem::path&)>;
    const std::map<std::string, Reader> readers = {
        {"cameras.bin", [](const auto& path) { COLMAPUtils::readCameras(path); }},
        {"images.bin", [](const auto& path) { COLMAPUtils::readImages(path); }},
        {"points3D.bin", [](const auto& path) { COLMAPUtils::readPoints3D(path); }},
        {"points3D.bin positions", [](const auto& path) { COLMAPUtils::readPointPositions(path); }},
    };
    for (const auto& [name, read] : readers) {
        const std::string file = name.substr(0, name.find(' '));
        std::string whole = readTextFile(folder / "whole" / file);
        ASSERT_NO_THROW(read(folder / "whole" / file));
        for (size_t length = 0; length < whole.size(); ++length) {
            SCOPED_TRACE(name + " cut at " + std::to_string(length));
            auto cut = folder / ("cut-" + name);
            writeTextFile(cut, whole.substr(0, length));
            try {
                read(cut);
                ADD_FAILURE() << "a cut file read without error";
            } catch (const COLMAPUtils::ParseError& error) {
                ASSERT_EQ(error.kind(), COLMAPUtils::ParseErrorKind::truncated);
                EXPECT_EQ(error.have, int64_t(length));
                EXPECT_LE(error.offset, int64_t(length));
                EXPECT_GT(error.offset + error.need, int64_t(length));
                EXPECT_TRUE(error.need == 1 || error.need == 4 || error.need == 8) << error.need;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Real COLMAP as the independent reader and writer, on one reconstruction of
// a rendered scene shared by the suite.

namespace {

struct CommandResult {
    int status = -1;
    std::string output;
};

CommandResult runShell(const std::string& commandLine) {
    CommandResult result;
    FILE* pipe = ::popen((commandLine + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, count);
    result.status = ::pclose(pipe);
    return result;
}

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// COLMAP writes its text records in the order of its own hash maps, which
// follows the order of the binary file it read; our writer orders by id. The
// comment lines (with counts and means) must match exactly, the records as
// a set: `linesPerRecord` lines each, sorted.
std::string canonicalText(const std::string& text, size_t linesPerRecord) {
    std::istringstream stream(text);
    std::string comments, line;
    std::vector<std::string> records;
    while (std::getline(stream, line)) {
        if (line.starts_with("#")) {
            comments += line + "\n";
            continue;
        }
        std::string record = line + "\n";
        for (size_t extra = 1; extra < linesPerRecord && std::getline(stream, line); ++extra) record += line + "\n";
        records.push_back(record);
    }
    std::sort(records.begin(), records.end());
    for (const auto& record : records) comments += record;
    return comments;
}

}  // namespace

class RealCOLMAPModel : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        workspace_ = new TempDir("tessaron-colmap");
        auto images = *workspace_ / "images";
        tessaron::generators::renderScene(images, 15);
        std::filesystem::create_directories(*workspace_ / "sparse");
        std::filesystem::create_directories(*workspace_ / "logs");
        auto database = quoted(*workspace_ / "database.db");
        const std::vector<std::string> steps = {
            "feature_extractor --database_path " + database + " --image_path " + quoted(images) +
                " --ImageReader.single_camera 1 --SiftExtraction.use_gpu 0 --SiftExtraction.num_threads 2"
                " --SiftExtraction.max_num_features 1024",
            "exhaustive_matcher --database_path " + database + " --SiftMatching.use_gpu 0 --SiftMatching.num_threads 2",
            "mapper --database_path " + database + " --image_path " + quoted(images) + " --output_path " +
                quoted(*workspace_ / "sparse") + " --Mapper.num_threads 2",
        };
        for (const auto& step : steps) {
            CommandResult result = runColmap(step);
            if (result.status != 0) {
                setUpFailure_ = "colmap " + step + " failed:\n" + result.output;
                return;
            }
        }
    }

    static void TearDownTestSuite() {
        delete workspace_;
        workspace_ = nullptr;
    }

    void SetUp() override {
        if (!setUpFailure_.empty()) GTEST_FAIL() << setUpFailure_;
    }

    static CommandResult runColmap(const std::string& arguments) {
        return runShell("GLOG_log_dir=" + quoted(*workspace_ / "logs") + " QT_QPA_PLATFORM=offscreen colmap " +
                        arguments);
    }

    static std::filesystem::path model() { return *workspace_ / "sparse/0"; }
    static TempDir& workspace() { return *workspace_; }

private:
    static inline TempDir* workspace_ = nullptr;
    static inline std::string setUpFailure_;
};

// One case on purpose: every test case runs in its own process, and each
// process reconstructs the scene once.
TEST_F(RealCOLMAPModel, CountsMatchAnalyzerAndRewrittenModelConvertsToTheSameText) {
    CommandResult analysis = runColmap("model_analyzer --path " + quoted(model()));
    ASSERT_EQ(analysis.status, 0) << analysis.output;
    // "Registered images: 15", with or without glog's "I1207 ... model.cc:45] " prefix.
    auto count = [&](const std::string& label) -> long {
        std::istringstream lines(analysis.output);
        std::string line;
        while (std::getline(lines, line)) {
            size_t prefixEnd = line.find("] ");
            std::string text = prefixEnd == std::string::npos ? line : line.substr(prefixEnd + 2);
            if (text.starts_with(label + ": ")) return std::stol(text.substr(label.size() + 2));
        }
        return -1;
    };
    COLMAPModel read = COLMAPUtils::readModel(model());
    EXPECT_EQ(long(read.cameras.size()), count("Cameras"));
    EXPECT_EQ(long(read.images.size()), count("Registered images"));
    EXPECT_EQ(long(read.points3D.size()), count("Points"));
    // The scene is rich enough that nearly every photo registers.
    EXPECT_GE(read.images.size(), 12u);
    EXPECT_GE(read.points3D.size(), 500u);

    // Our read and write, checked by COLMAP's own text converter.
    auto rewritten = workspace() / "rewritten";
    COLMAPUtils::writeModel(COLMAPUtils::readModel(model()), rewritten);
    auto toText = [&](const std::filesystem::path& input, const std::filesystem::path& output) {
        std::filesystem::create_directories(output);
        CommandResult result = runColmap("model_converter --input_path " + quoted(input) + " --output_path " +
                                         quoted(output) + " --output_type TXT");
        ASSERT_EQ(result.status, 0) << result.output;
    };
    toText(model(), workspace() / "original-text");
    toText(rewritten, workspace() / "rewritten-text");
    const std::vector<std::pair<std::string, size_t>> files = {
        {"cameras.txt", 1}, {"images.txt", 2}, {"points3D.txt", 1}};
    for (const auto& [name, linesPerRecord] : files) {
        std::string original = canonicalText(readTextFile(workspace() / "original-text" / name), linesPerRecord);
        std::string rewritten = canonicalText(readTextFile(workspace() / "rewritten-text" / name), linesPerRecord);
        EXPECT_GT(original.size(), 150u) << name;
        EXPECT_TRUE(rewritten == original) << name << " differs after our read and write";
    }
}

TEST(COLMAPUtils, AFifoOrADeviceIsRefusedWithoutWaiting) {
    tessaron::testing::TempDir folder;
    tessaron::testing::makeFifo(folder / "cameras.bin");
    for (const auto& path : {folder / "cameras.bin", std::filesystem::path("/dev/zero")}) {
        EXPECT_TRUE(tessaron::testing::returnsWithin(path, [&] {
            try {
                tessaron::colmap::COLMAPUtils::readCameras(path);
                ADD_FAILURE() << path;
            } catch (const tessaron::core::FileError& error) {
                EXPECT_NE(std::string(error.what()).find("Could not read " + path.string() + ": is a "),
                          std::string::npos)
                    << error.what();
            }
        }));
    }
}

namespace {

struct ImageNameCase {
    std::string name;
    std::string refusal;  // "" for a name inside the images folder
};

class ImageNameRule : public ::testing::TestWithParam<ImageNameCase> {};

}  // namespace

TEST_P(ImageNameRule, RefusesNamesThatLeaveTheImagesFolder) {
    EXPECT_EQ(COLMAPUtils::imageNameOutsideFolder(GetParam().name).value_or(""), GetParam().refusal) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ImageNameRule,
    ::testing::Values(
        ImageNameCase{"frame_000001.jpg", ""}, ImageNameCase{"cam0/frame_000001.jpg", ""},
        ImageNameCase{"./a.jpg", ""}, ImageNameCase{"..a.jpg", ""}, ImageNameCase{"a../b...jpg", ""},
        ImageNameCase{"a/.../b.jpg", ""},
        ImageNameCase{"/etc/passwd",
                      "image \"/etc/passwd\" in images.bin has an absolute path; an image must lie inside the images "
                      "folder"},
        ImageNameCase{"//server/a.jpg", "image \"//server/a.jpg\" in images.bin has an absolute path; an image must "
                                        "lie inside the images folder"},
        ImageNameCase{"../a.jpg", "image \"../a.jpg\" in images.bin has a \"..\" component; an image must lie inside "
                                  "the images folder"},
        ImageNameCase{"cam0/../../a.jpg", "image \"cam0/../../a.jpg\" in images.bin has a \"..\" component; an image "
                                          "must lie inside the images folder"},
        ImageNameCase{"cam0/..", "image \"cam0/..\" in images.bin has a \"..\" component; an image must lie inside "
                                 "the images folder"},
        ImageNameCase{"..", "image \"..\" in images.bin has a \"..\" component; an image must lie inside the images "
                            "folder"},
        // Bytes that are not UTF-8 are shown as U+FFFD.
        ImageNameCase{"../caf\xe9.jpg", "image \"../caf\xef\xbf\xbd.jpg\" in images.bin has a \"..\" component; an image "
                                        "must lie inside the images folder"}));
