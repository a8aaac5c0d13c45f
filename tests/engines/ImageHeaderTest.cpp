// Photo sizes read from headers alone, checked against files OpenCV writes,
// against headers cut short, and against things that are not photos.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <future>
#include <iterator>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/RegularFile.hpp"
#include "engines/DatasetProfile.hpp"
#include "engines/ImageHeader.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::engines;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

namespace {

std::string bytesOf(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

class ImageHeaderFormats : public ::testing::TestWithParam<const char*> {};

}  // namespace

// Sizes that differ in every byte, so that a swapped order or a short field
// shows; every prefix of the header is refused, never misread.
TEST_P(ImageHeaderFormats, ReadsTheSizeOpenCVWroteAndRefusesEveryCutHeader) {
    TempDir folder;
    const std::filesystem::path file = folder / (std::string("photo.") + GetParam());
    cv::Mat picture(259, 517, CV_8UC3, cv::Scalar(10, 200, 30));
    ASSERT_TRUE(cv::imwrite(file.string(), picture));
    const std::optional<ImageHeader> header = ImageHeader::read(file);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->width, 517);
    EXPECT_EQ(header->height, 259);

    const std::string whole = bytesOf(file);
    const std::filesystem::path cut = folder / (std::string("cut.") + GetParam());
    for (std::size_t length = 0; length < std::min<std::size_t>(whole.size(), 64); ++length) {
        writeBytes(cut, whole.substr(0, length));
        const std::optional<ImageHeader> partial = ImageHeader::read(cut);
        if (partial) {
            // A header complete before the body is enough, and then right.
            EXPECT_EQ(partial->width, 517) << length;
            EXPECT_EQ(partial->height, 259) << length;
        }
    }
    writeBytes(cut, whole.substr(0, 3));
    EXPECT_FALSE(ImageHeader::read(cut));
}

INSTANTIATE_TEST_SUITE_P(Photos, ImageHeaderFormats, ::testing::Values("jpg", "png", "bmp", "tif"));

TEST(ImageHeader, AHugeAnnouncedPictureIsMeasuredNotDecoded) {
    TempDir folder;
    // A PNG whose header names 100000 × 80000 pixels and holds nothing else:
    // decoding it would ask for gigabytes.
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    png += std::string("\x00\x01\x86\xa0\x00\x01\x38\x80\x08\x02\x00\x00\x00", 13);
    writeBytes(folder / "bomb.png", png);
    const std::optional<ImageHeader> header = ImageHeader::read(folder / "bomb.png");
    ASSERT_TRUE(header);
    EXPECT_EQ(header->width, 100000);
    EXPECT_EQ(header->height, 80000);

    // A JPEG frame header behind a long application segment, as cameras write.
    std::string jpeg("\xFF\xD8\xFF\xE1", 4);
    jpeg += std::string("\x80\x02", 2) + std::string(0x8000, 'x');
    jpeg.append("\xFF\xFF\xC2\x00\x11\x08\x30\x39\xD4\x31\x03", 11);
    jpeg.append(15, '\0');
    writeBytes(folder / "camera.jpg", jpeg);
    const std::optional<ImageHeader> camera = ImageHeader::read(folder / "camera.jpg");
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->width, 0xD431);
    EXPECT_EQ(camera->height, 0x3039);
}

TEST(ImageHeader, NothingForTextZeroSizesFoldersAndFifos) {
    TempDir folder;
    writeTextFile(folder / "notes.jpg", "not a jpeg at all");
    EXPECT_FALSE(ImageHeader::read(folder / "notes.jpg"));
    writeBytes(folder / "empty.png",
               std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\0\0\0\0\x05\x08\x02\0\0\0", 29));
    EXPECT_FALSE(ImageHeader::read(folder / "empty.png"));
    std::filesystem::create_directories(folder / "album.jpg");
    EXPECT_FALSE(ImageHeader::read(folder / "album.jpg"));
    EXPECT_FALSE(ImageHeader::read(folder / "missing.jpg"));

    // A FIFO with a photo's name as the folder's photo: the profile says
    // nothing instead of waiting for a writer that never comes.
    const std::filesystem::path fifo = folder / "capture" / "a.jpg";
    std::filesystem::create_directories(fifo.parent_path());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto scan = std::async(std::launch::async, [&] { return DatasetProfile::scan(fifo.parent_path()); });
    const bool answered = scan.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!answered) std::ofstream(fifo) << "";  // releases the waiting reader
    ASSERT_TRUE(answered) << "the scan waits on the FIFO";
    EXPECT_FALSE(scan.get());
}

namespace {

struct Stored {
    const char* file;
    int type;
    bool progressive;
    ImageHeader::Format format;
    int samples;
    int bits;
    bool floatingPoint;
};

class ImageHeaderSamples : public ::testing::TestWithParam<Stored> {};

}  // namespace

// How pixels are stored, as OpenCV wrote them: what COLMAP's reader takes
// depends on it.
TEST_P(ImageHeaderSamples, TellHowPixelsAreStored) {
    const Stored& stored = GetParam();
    TempDir folder;
    const std::filesystem::path file = folder / stored.file;
    cv::Mat picture(24, 40, stored.type, cv::Scalar::all(100));
    ASSERT_TRUE(cv::imwrite(file.string(), picture, {cv::IMWRITE_JPEG_PROGRESSIVE, stored.progressive ? 1 : 0}));
    const std::optional<ImageHeader> header = ImageHeader::read(file);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->width, 40);
    EXPECT_EQ(header->height, 24);
    EXPECT_EQ(header->format, stored.format);
    EXPECT_EQ(header->samplesPerPixel, stored.samples);
    EXPECT_EQ(header->bitsPerSample, stored.bits);
    EXPECT_EQ(header->floatingPoint, stored.floatingPoint);
    EXPECT_EQ(header->progressive, stored.progressive);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ImageHeaderSamples,
    ::testing::Values(Stored{"grey.jpg", CV_8UC1, false, ImageHeader::Format::jpeg, 1, 8, false},
                      Stored{"colour.jpg", CV_8UC3, false, ImageHeader::Format::jpeg, 3, 8, false},
                      Stored{"progressive.jpg", CV_8UC3, true, ImageHeader::Format::jpeg, 3, 8, false},
                      Stored{"grey16.png", CV_16UC1, false, ImageHeader::Format::png, 1, 16, false},
                      Stored{"colour16.png", CV_16UC3, false, ImageHeader::Format::png, 3, 16, false},
                      Stored{"rgba.png", CV_8UC4, false, ImageHeader::Format::png, 4, 8, false},
                      Stored{"colour.bmp", CV_8UC3, false, ImageHeader::Format::bmp, 3, 8, false},
                      Stored{"rgba.bmp", CV_8UC4, false, ImageHeader::Format::bmp, 4, 8, false},
                      Stored{"grey.bmp", CV_8UC1, false, ImageHeader::Format::bmp, 1, 8, false},
                      Stored{"colour16.tif", CV_16UC3, false, ImageHeader::Format::tiff, 3, 16, false},
                      Stored{"float.tif", CV_32FC1, false, ImageHeader::Format::tiff, 1, 32, true}),
    [](const ::testing::TestParamInfo<Stored>& info) {
        std::string name = info.param.file;
        name[name.find('.')] = '_';
        return name;
    });

// A JPEG cut anywhere before its end marker, baseline or progressive, ends
// inside its markers; whole, or with bytes after the end, it does not.
TEST(ImageHeader, AJPEGCutAnywhereDoesNotReachItsEnd) {
    TempDir folder;
    cv::Mat picture(16, 24, CV_8UC3);
    cv::randu(picture, 0, 256);
    for (int progressive : {0, 1}) {
        std::vector<uchar> encoded;
        cv::imencode(".jpg", picture, encoded, {cv::IMWRITE_JPEG_PROGRESSIVE, progressive});
        const std::string whole(encoded.begin(), encoded.end());
        const std::filesystem::path file = folder / "photo.jpg";
        auto reachesItsEnd = [&file](const std::string& bytes) {
            writeBytes(file, bytes);
            return ImageHeader::jpegReachesItsEnd(tessaron::core::RegularFile::openForReading(file));
        };
        EXPECT_TRUE(reachesItsEnd(whole)) << progressive;
        EXPECT_TRUE(reachesItsEnd(whole + std::string(4096, '\0'))) << progressive;
        writeBytes(file, whole);
        for (std::size_t length = whole.size(); length-- > 0;) {
            std::filesystem::resize_file(file, length);
            ASSERT_FALSE(ImageHeader::jpegReachesItsEnd(tessaron::core::RegularFile::openForReading(file)))
                << "cut at " << length << ", progressive " << progressive;
        }
    }
}

// The walk counts the scans: one for a baseline JPEG, the encoder's script
// for a progressive one, and it stops once past the limit.
TEST(ImageHeader, TheWalkCountsAJPEGsScansUpToTheLimit) {
    TempDir folder;
    cv::Mat picture(16, 24, CV_8UC3);
    cv::randu(picture, 0, 256);
    const std::filesystem::path file = folder / "photo.jpg";
    auto walked = [&file](const std::string& bytes, std::size_t limit) {
        writeBytes(file, bytes);
        return ImageHeader::walkJpeg(tessaron::core::RegularFile::openForReading(file), limit);
    };
    std::vector<uchar> encoded;
    cv::imencode(".jpg", picture, encoded);
    const ImageHeader::JpegMarkers baseline = walked(std::string(encoded.begin(), encoded.end()), 100);
    EXPECT_TRUE(baseline.reachesEnd);
    EXPECT_EQ(baseline.scans, 1u);

    cv::imencode(".jpg", picture, encoded, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    const std::string progressive(encoded.begin(), encoded.end());
    const ImageHeader::JpegMarkers script = walked(progressive, 100);
    EXPECT_TRUE(script.reachesEnd);
    EXPECT_EQ(script.scans, 10u);  // libjpeg's progressive script for colour
    const ImageHeader::JpegMarkers cut = walked(progressive, 4);
    EXPECT_FALSE(cut.reachesEnd);
    EXPECT_EQ(cut.scans, 5u);
}
