// The photo check on generated photo sets: what COLMAP's reader refuses and
// JPEGs cut short are left out with the reason, a link loop too; the links
// COLMAP is given name only the photos kept; and sparse giant files are
// checked without reading them into memory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/Error.hpp"
#include "engines/ImageHeader.hpp"
#include "pipeline/PhotoFolderCheck.hpp"
#include "support/TempDir.hpp"

using tessaron::engines::ImageHeader;
using tessaron::pipeline::PhotoFolderCheck;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

namespace {

// A picture with detail, so that a JPEG of it has a long scan.
cv::Mat texture(int width, int height, int type = CV_8UC3) {
    cv::Mat picture(height, width, CV_8UC3);
    cv::RNG random(7);
    random.fill(picture, cv::RNG::UNIFORM, 0, 256);
    if (type == CV_8UC3) return picture;
    cv::Mat converted;
    const int depth = CV_MAT_DEPTH(type);
    const int channels = CV_MAT_CN(type);
    cv::Mat shaped = picture;
    if (channels == 1) cv::extractChannel(picture, shaped, 0);
    if (channels == 4) {
        cv::Mat alpha(height, width, CV_8UC1, cv::Scalar(255));
        cv::merge(std::vector<cv::Mat>{picture, alpha}, shaped);
    }
    const double scale = depth == CV_16U ? 257 : depth == CV_32F ? 1 / 255.0 : 1;
    shaped.convertTo(converted, depth, scale);
    return converted;
}

void writeBytes(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

std::string jpegBytes(const cv::Mat& picture, bool progressive = false) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_PROGRESSIVE, progressive ? 1 : 0});
    return std::string(bytes.begin(), bytes.end());
}

// A small progressive JPEG whose last scan comes `scans` times over: a
// decoder passes over the picture once per scan.
std::string jpegOfScans(size_t scans) {
    const std::string progressive = jpegBytes(texture(32, 32), true);
    const size_t lastScan = progressive.rfind("\xFF\xDA");
    const std::string scan = progressive.substr(lastScan, progressive.size() - 2 - lastScan);
    std::string bytes = progressive.substr(0, lastScan);
    for (size_t copy = 0; copy < scans; ++copy) bytes += scan;
    return bytes + "\xFF\xD9";
}

// Two photos that read, so that the check goes on to its answer.
void writeGoodPhotos(const fs::path& folder) {
    fs::create_directories(folder);
    ASSERT_TRUE(cv::imwrite((folder / "good_1.jpg").string(), texture(64, 48)));
    ASSERT_TRUE(cv::imwrite((folder / "good_2.jpg").string(), texture(64, 48)));
}

std::string reasonFor(const PhotoFolderCheck::Result& result, const std::string& name) {
    for (const auto& photo : result.leftOut)
        if (photo.photo.filename() == name) return photo.reason;
    return "";
}

struct StoredForm {
    const char* name;  // the file name, whose extension picks the format
    std::function<void(const fs::path&)> write;
    std::string reason;  // empty: COLMAP reads it and the check keeps it
};

void PrintTo(const StoredForm& form, std::ostream* out) { *out << form.name; }

std::function<void(const fs::path&)> written(int type, std::vector<int> options = {}) {
    return [type, options](const fs::path& file) { ASSERT_TRUE(cv::imwrite(file.string(), texture(64, 48, type), options)); };
}

class StoredForms : public ::testing::TestWithParam<StoredForm> {};

// What COLMAP's reader takes was tried on the installed COLMAP (the real
// program checks the same list in colmap/): 8-bit samples and 16-bit grey.
TEST_P(StoredForms, COLMAPsReaderDecidesWhatIsKept) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    writeGoodPhotos(photos);
    GetParam().write(photos / GetParam().name);
    const PhotoFolderCheck::Result result = PhotoFolderCheck::require(photos, folder / "out");
    EXPECT_EQ(reasonFor(result, GetParam().name), GetParam().reason);
    EXPECT_EQ(result.kept.size(), GetParam().reason.empty() ? 3u : 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Photos, StoredForms,
    ::testing::Values(StoredForm{"colour16.png", written(CV_16UC3), "16-bit colour, which COLMAP cannot read"},
                      StoredForm{"rgba16.png", written(CV_16UC4), "16-bit colour, which COLMAP cannot read"},
                      StoredForm{"colour16.tif", written(CV_16UC3), "16-bit colour, which COLMAP cannot read"},
                      StoredForm{"float.tif", written(CV_32FC1), "floating-point samples, which COLMAP cannot read"},
                      StoredForm{"grey16.png", written(CV_16UC1), ""}, StoredForm{"grey16.tif", written(CV_16UC1), ""},
                      StoredForm{"rgba.png", written(CV_8UC4), ""}, StoredForm{"grey.bmp", written(CV_8UC1), ""},
                      StoredForm{"progressive.jpg", written(CV_8UC3, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}), ""}),
    [](const ::testing::TestParamInfo<StoredForm>& info) {
        std::string name = info.param.name;
        name[name.find('.')] = '_';
        return name;
    });

// A JPEG whose markers stop before its end-of-image marker was cut short;
// the decoder would grey out what is missing. An end marker inside an
// embedded thumbnail does not count, and bytes after the end do no harm.
TEST(PhotoFolderCheck, JPEGsCutShortAreLeftOutAsTruncated) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    writeGoodPhotos(photos);
    const std::string whole = jpegBytes(texture(320, 240));
    const std::string progressive = jpegBytes(texture(320, 240), true);
    writeBytes(photos / "half.jpg", whole.substr(0, whole.size() / 2));
    writeBytes(photos / "no-end.jpg", whole.substr(0, whole.size() - 2));
    writeBytes(photos / "half-progressive.jpg", progressive.substr(0, progressive.size() / 2));
    // An APP1 segment holding a whole small JPEG, as cameras store their
    // thumbnail, before the main picture's cut data.
    const std::string thumbnail = jpegBytes(texture(16, 16));
    const std::string segment = "Exif" + std::string(2, '\0') + thumbnail;
    std::string withThumbnail = whole.substr(0, 2) + "\xFF\xE1" + char((segment.size() + 2) >> 8) +
                                char((segment.size() + 2) & 0xFF) + segment + whole.substr(2);
    writeBytes(photos / "thumbnail-half.jpg", withThumbnail.substr(0, withThumbnail.size() * 3 / 4));
    writeBytes(photos / "thumbnail-whole.jpg", withThumbnail);
    writeBytes(photos / "trailing-zeros.jpg", whole);
    fs::resize_file(photos / "trailing-zeros.jpg", whole.size() + (1 << 20));

    const PhotoFolderCheck::Result result = PhotoFolderCheck::require(photos, folder / "out");
    for (const char* name : {"half.jpg", "no-end.jpg", "half-progressive.jpg", "thumbnail-half.jpg"})
        EXPECT_EQ(reasonFor(result, name), "truncated") << name;
    std::set<std::string> kept;
    for (const auto& photo : result.kept) kept.insert(photo.path.filename().string());
    EXPECT_EQ(kept, (std::set<std::string>{"good_1.jpg", "good_2.jpg", "thumbnail-whole.jpg", "trailing-zeros.jpg"}));
    EXPECT_EQ(*result.warning(),
              "⚠ 4 of 8 photos cannot be read and are left out: half-progressive.jpg (truncated), half.jpg "
              "(truncated), no-end.jpg (truncated), thumbnail-half.jpg (truncated)");
}

// Two links that point at each other made COLMAP abort when it listed the
// folder itself; the check leaves them out and COLMAP gets links to the
// kept photos only, under their own names.
TEST(PhotoFolderCheck, COLMAPIsGivenLinksToTheKeptPhotosOnly) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    writeGoodPhotos(photos);
    fs::create_symlink("b.jpg", photos / "a.jpg");
    fs::create_symlink("a.jpg", photos / "b.jpg");
    writeBytes(photos / "odd name\nwith a line break.jpg", jpegBytes(texture(64, 48)));

    const PhotoFolderCheck::Result result = PhotoFolderCheck::require(photos, folder / "out");
    EXPECT_EQ(*result.warning(), "⚠ 2 of 5 photos cannot be read and are left out: a.jpg (Too many levels of symbolic "
                                 "links), b.jpg (Too many levels of symbolic links)");
    const fs::path links = folder / "out" / "colmap" / "images";
    result.linkKeptPhotos(links);
    std::map<std::string, fs::path> found;
    for (const auto& entry : fs::directory_iterator(links)) {
        ASSERT_TRUE(entry.is_symlink()) << entry.path();
        found[entry.path().filename().string()] = fs::read_symlink(entry.path());
    }
    EXPECT_EQ(found, (std::map<std::string, fs::path>{{"good_1.jpg", photos / "good_1.jpg"},
                                                      {"good_2.jpg", photos / "good_2.jpg"},
                                                      {"odd name\nwith a line break.jpg", photos / "odd name\nwith a line break.jpg"}}));
}

// A rig's photos keep their camera folders; the links of an earlier run are
// replaced (a link in the folder's place is never followed), and a file of
// the user's there stops the linking untouched.
TEST(PhotoFolderCheck, LinksKeepCameraFoldersAndReplaceOnlyEarlierLinks) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    for (const char* camera : {"cam0", "cam1"}) writeGoodPhotos(photos / camera);
    const PhotoFolderCheck::Result result = PhotoFolderCheck::require(photos, folder / "out");
    ASSERT_EQ(result.kept.size(), 4u);

    const fs::path links = folder / "out" / "images";
    const fs::path elsewhere = folder / "elsewhere";
    writeTextFile(elsewhere / "keep.txt", "not the run's");
    fs::create_directories(links.parent_path());
    fs::create_symlink(elsewhere, links);
    result.linkKeptPhotos(links);
    EXPECT_TRUE(fs::exists(elsewhere / "keep.txt"));
    EXPECT_FALSE(fs::is_symlink(links));
    EXPECT_EQ(fs::read_symlink(links / "cam1" / "good_2.jpg"), photos / "cam1" / "good_2.jpg");

    fs::create_symlink(photos / "cam0" / "good_1.jpg", links / "cam0" / "stale.jpg");
    result.linkKeptPhotos(links);
    EXPECT_FALSE(fs::exists(fs::symlink_status(links / "cam0" / "stale.jpg")));
    EXPECT_TRUE(fs::is_symlink(links / "cam0" / "good_1.jpg"));

    writeTextFile(links / "cam1" / "notes.txt", "the user's");
    EXPECT_THROW(result.linkKeptPhotos(links), PhotoFolderCheck::Error);
    EXPECT_EQ(tessaron::testing::readTextFile(links / "cam1" / "notes.txt"), "the user's");
}

TEST(PhotoFolderCheck, KnowsEveryKeptPhotosSize) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    fs::create_directories(photos);
    for (int index = 0; index < 3; ++index)
        ASSERT_TRUE(cv::imwrite((photos / ("small_" + std::to_string(index) + ".jpg")).string(), texture(320, 240)));
    for (int index = 0; index < 2; ++index)
        ASSERT_TRUE(cv::imwrite((photos / ("large_" + std::to_string(index) + ".png")).string(), texture(640, 480)));
    const PhotoFolderCheck::Result result = PhotoFolderCheck::require(photos, folder / "out");
    EXPECT_THAT(result.sizes(), ElementsAre(PhotoFolderCheck::SizeCount{320, 240, 3}, PhotoFolderCheck::SizeCount{640, 480, 2}));
    EXPECT_EQ(result.sizesText(), "3 of 320 × 240, 2 of 640 × 480");
}

// The largest pixel counts cost most; a progressive JPEG keeps all of its
// coefficients, a baseline one is scaled down as it is decoded.
TEST(PhotoFolderCheck, DecodeCostFollowsTheHeader) {
    ImageHeader baseline{6000, 4000};
    ImageHeader progressive = baseline;
    progressive.progressive = true;
    ImageHeader png = baseline;
    png.format = ImageHeader::Format::png;
    EXPECT_LT(PhotoFolderCheck::decodeBytes(baseline), std::uint64_t(16) << 20);
    EXPECT_GE(PhotoFolderCheck::decodeBytes(progressive), std::uint64_t(6000) * 4000 * 3 * 2);
    EXPECT_GE(PhotoFolderCheck::decodeBytes(png), std::uint64_t(6000) * 4000 * 4);
    ImageHeader claimed{std::int64_t(1) << 32, std::int64_t(1) << 32};
    claimed.format = ImageHeader::Format::tiff;
    EXPECT_EQ(PhotoFolderCheck::decodeBytes(claimed), std::numeric_limits<std::uint64_t>::max());
}

// A budget below what any photo needs still checks them all: each is
// decoded alone.
TEST(PhotoFolderCheck, ABudgetSmallerThanAnyPhotoStillChecksEveryPhoto) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    fs::create_directories(photos);
    for (int index = 0; index < 12; ++index)
        ASSERT_TRUE(cv::imwrite((photos / ("photo_" + std::to_string(index) + ".png")).string(), texture(96, 64)));
    EXPECT_EQ(PhotoFolderCheck::require(photos, folder / "out", 1).kept.size(), 12u);
}

// Files that look like photos and that COLMAP would not get are named by
// reason, before any decoding: photos in a subfolder while the folder's
// own are used, picture formats the run does not take, and names with a
// backslash, which COLMAP records as a folder separator.
TEST(PhotoFolderCheck, NamesEveryPhotoLikeFileCOLMAPIsNotGiven) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    writeGoodPhotos(photos);
    writeGoodPhotos(photos / "extra");
    fs::create_directories(photos / "extra" / "deeper");
    writeBytes(photos / "extra" / "deeper" / "old.webp", "RIFF");
    for (const char* name : {"a.webp", "b.HEIC", "c.jp2", "d.gif", "notes.txt"}) writeBytes(photos / name, "picture");
    writeBytes(photos / "back\\slash.jpg", jpegBytes(texture(64, 48)));
    fs::create_directories(photos / "extra" / ".cache");
    writeBytes(photos / "extra" / ".cache" / "thumb.jpg", "hidden");

    const PhotoFolderCheck::Survey survey = PhotoFolderCheck::survey(photos);
    EXPECT_THAT(survey.photos, ElementsAre(photos / "good_1.jpg", photos / "good_2.jpg"));
    EXPECT_EQ(*survey.warning(),
              "⚠ 8 files that look like photos are not given to COLMAP: 3 in a subfolder, which is not read when the "
              "folder itself holds photos (extra/deeper/old.webp, extra/good_1.jpg, extra/good_2.jpg); 4 with an "
              "extension the run does not take, only .bmp, .jpeg, .jpg, .png, .tif and .tiff (a.webp, b.HEIC, c.jp2 "
              "and 1 more); 1 with a name COLMAP would read as a path, as it holds a backslash (back\\slash.jpg).");
    // The run's check carries the same listing, and decodes only its photos.
    const PhotoFolderCheck::Result result = PhotoFolderCheck::require(photos, folder / "out");
    EXPECT_EQ(result.listing.warning(), survey.warning());
    EXPECT_EQ(result.photos, 2u);
    EXPECT_FALSE(result.warning());

    // A rig's camera folders are read one level deep.
    const fs::path rig = folder / "rig";
    for (const char* camera : {"cam0", "cam1"}) writeGoodPhotos(rig / camera);
    writeGoodPhotos(rig / "cam1" / "rejects");
    writeBytes(rig / "cam0" / "raw.dng", "raw");
    EXPECT_EQ(PhotoFolderCheck::survey(rig).photos.size(), 4u);
    EXPECT_EQ(*PhotoFolderCheck::survey(rig).warning(),
              "⚠ 3 files that look like photos are not given to COLMAP: 2 below the camera subfolders, which are "
              "read one level deep only (cam1/rejects/good_1.jpg, cam1/rejects/good_2.jpg); 1 with an extension the "
              "run does not take, only .bmp, .jpeg, .jpg, .png, .tif and .tiff (cam0/raw.dng).");

    // Too few photos left: the refusal says what was passed over.
    const fs::path webp = folder / "webp";
    fs::create_directories(webp);
    writeBytes(webp / "one.jpg", jpegBytes(texture(64, 48)));
    for (const char* name : {"a.webp", "b.webp"}) writeBytes(webp / name, "picture");
    const auto refusal = [&] {
        try {
            PhotoFolderCheck::requireListing(webp, folder / "out");
        } catch (const PhotoFolderCheck::Error& error) {
            return std::string(error.what());
        }
        return std::string("taken");
    };
    const std::string passedOver = "2 files that look like photos are not given to COLMAP: 2 with an extension the "
                                   "run does not take, only .bmp, .jpeg, .jpg, .png, .tif and .tiff (a.webp, b.webp).";
    EXPECT_EQ(refusal(), "Too few photos in " + webp.string() +
                             " for structure from motion, which needs at least 2: it holds 1 photo. " + passedOver);
    fs::remove(webp / "one.jpg");
    EXPECT_EQ(refusal(), "No photo in " + webp.string() + " can be given to COLMAP: " + passedOver);
}

// A JPEG of thousands of scans took minutes to decode; one of more scans
// than any camera writes is left out before its decode, with the reason.
TEST(PhotoFolderCheck, AJPEGOfFarMoreScansThanACameraWritesIsNotDecoded) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    writeGoodPhotos(photos);
    writeBytes(photos / "scans.jpg", jpegOfScans(5000));
    writeBytes(photos / "camera.jpg", jpegBytes(texture(64, 48), true));
    const PhotoFolderCheck::Result result = PhotoFolderCheck::require(photos, folder / "out");
    EXPECT_EQ(reasonFor(result, "scans.jpg"),
              "more than 100 JPEG scans, far past the ten or so a camera writes: decoding it would take unbounded work");
    EXPECT_EQ(reasonFor(result, "camera.jpg"), "");
    EXPECT_EQ(result.kept.size(), 3u);
}

// A cancel ends the check with the cancellation, before the first photo
// when it came first, and otherwise without handing out the photos left.
TEST(PhotoFolderCheck, ACancelEndsTheCheckBetweenPhotos) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    fs::create_directories(photos);
    constexpr int photoCount = 64;
    for (int index = 0; index < photoCount; ++index)
        ASSERT_TRUE(cv::imwrite((photos / ("photo_" + std::to_string(index) + ".png")).string(), texture(32, 24)));
    std::atomic<int> asked = 0;
    EXPECT_THROW(PhotoFolderCheck::require(photos, folder / "out", [&] { return ++asked > 0; }),
                 tessaron::core::CancellationError);
    asked = 0;
    // The cancel comes once a few photos were handed out; the workers then
    // ask once more at most each, before their next photo.
    EXPECT_THROW(PhotoFolderCheck::require(photos, folder / "out", [&] { return ++asked > 3; }),
                 tessaron::core::CancellationError);
    EXPECT_LT(asked.load(), 2 * photoCount);
    EXPECT_EQ(PhotoFolderCheck::require(photos, folder / "out", [] { return false; }).kept.size(), size_t(photoCount));
}

std::uint64_t statusKilobytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(key + ":")) return std::stoull(line.substr(key.size() + 1));
    return 0;
}

// Sixteen photos that claim a gigabyte each (sparse: a real JPEG, then a
// hole) cost their pictures, not their sizes, on every core at once. The
// check runs in a child so that its peak memory is its own.
TEST(PhotoFolderCheck, SparseGigabytePhotosAreCheckedWithoutReadingThemIntoMemory) {
    TempDir folder;
    const fs::path photos = folder / "photos";
    fs::create_directories(photos);
    const std::string jpeg = jpegBytes(texture(640, 480));
    for (int index = 0; index < 16; ++index) {
        const fs::path photo = photos / ("giant_" + std::to_string(index) + ".jpg");
        writeBytes(photo, jpeg);
        fs::resize_file(photo, PhotoFolderCheck::maximumPhotoBytes);
    }

    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        const std::uint64_t before = statusKilobytes("VmRSS");
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
        std::string answer;
        try {
            const size_t kept = PhotoFolderCheck::require(photos, folder / "out").kept.size();
            answer = std::to_string(kept) + " " + std::to_string(statusKilobytes("VmHWM") - before);
        } catch (const std::exception& error) {
            answer = error.what();  // the parent shows it
        }
        [[maybe_unused]] ssize_t written = ::write(channel[1], answer.data(), answer.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string answer;
    char buffer[64];
    for (ssize_t count; (count = ::read(channel[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, size_t(count));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::istringstream fields(answer);
    size_t kept = 0;
    std::uint64_t grownKilobytes = 0;
    ASSERT_TRUE(fields >> kept >> grownKilobytes) << answer;
    EXPECT_EQ(kept, 16u);
    // Reading each whole would hold gigabytes; decoding them holds a few
    // megabytes per core.
    EXPECT_LT(grownKilobytes, 256u * 1024) << "the check's memory grew by " << grownKilobytes << " KiB";
}

}  // namespace
