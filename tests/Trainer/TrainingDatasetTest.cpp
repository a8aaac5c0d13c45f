// The photos of a dataset as the engine loads them: what it refuses before
// it decodes anything (a FIFO, a photo whose header disagrees with its
// camera, a camera or pose that is not finite) and the sizes it takes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "RenderedDataset.hpp"
#include "Trainer/ImageHeader.hpp"
#include "Trainer/TrainingDataset.hpp"
#include "support/Fifo.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using tessaron::testing::RenderedDataset;
using tessaron::testing::TempDir;
using trainer::ImageHeader;
using trainer::TrainingDataset;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> encoded(const std::string& extension, int width, int height) {
    cv::Mat image(height, width, CV_8UC3, cv::Scalar(10, 120, 240));
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(cv::imencode(extension, image, bytes)) << extension;
    return bytes;
}

// A JPEG of a few hundred bytes whose frame header claims another size.
std::vector<uint8_t> claimingJpeg(int width, int height) {
    std::vector<uint8_t> bytes = encoded(".jpg", 16, 16);
    for (size_t at = 2; at + 9 < bytes.size(); ++at) {
        if (bytes[at] != 0xFF || bytes[at + 1] != 0xC0) continue;
        // Marker, length, precision, then height and width.
        bytes[at + 5] = uint8_t(height >> 8);
        bytes[at + 6] = uint8_t(height);
        bytes[at + 7] = uint8_t(width >> 8);
        bytes[at + 8] = uint8_t(width);
        return bytes;
    }
    ADD_FAILURE() << "no baseline frame header";
    return bytes;
}

void writeBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    tessaron::testing::writeTextFile(file, std::string(bytes.begin(), bytes.end()));
}

class DatasetLoad : public ::testing::Test {
protected:
    void SetUp() override {
        RenderedDataset::write(folder.path(), 4, 32, 24);
        model = colmap::COLMAPUtils::readModel(folder / "sparse" / "0");
        options.imagesFolder = folder / "images";
    }

    fs::path photo(int index) const { return folder / "images" / RenderedDataset::imageName(index); }

    // The load's error, or "" when it loaded.
    std::string loadError() {
        try {
            TrainingDataset::load(model, options);
            return "";
        } catch (const TrainingDataset::LoadError& error) {
            return error.what();
        }
    }

    TempDir folder;
    colmap::COLMAPModel model;
    TrainingDataset::Options options;
};

}  // namespace

TEST(ImageHeader, ReadsTheStoredSizeOfEachFormatThePhotosComeIn) {
    for (std::string extension : {".jpg", ".png", ".bmp", ".tiff"}) {
        std::optional<ImageHeader> header = ImageHeader::read(encoded(extension, 37, 21));
        ASSERT_TRUE(header) << extension;
        EXPECT_EQ(header->width, 37u) << extension;
        EXPECT_EQ(header->height, 21u) << extension;
    }
    std::optional<ImageHeader> claimed = ImageHeader::read(claimingJpeg(20000, 20000));
    ASSERT_TRUE(claimed);
    EXPECT_EQ(claimed->format, ImageHeader::Format::jpeg);
    EXPECT_EQ(claimed->width, 20000u);
}

TEST(ImageHeader, GivesNothingForOtherBytesOrAHeaderCutShort) {
    EXPECT_FALSE(ImageHeader::read({}));
    const std::string gif = "GIF89a\x10\x00\x10\x00";
    EXPECT_FALSE(ImageHeader::read(std::vector<uint8_t>(gif.begin(), gif.end())));
    for (std::string extension : {".jpg", ".png", ".bmp", ".tiff"}) {
        std::vector<uint8_t> bytes = encoded(extension, 37, 21);
        // JPEG: the frame header lies past the quantisation tables.
        bytes.resize(extension == ".tiff" || extension == ".jpg" ? 8 : 20);
        EXPECT_FALSE(ImageHeader::read(bytes)) << extension;
    }
    EXPECT_FALSE(ImageHeader::read(claimingJpeg(640, 0))) << "a height given later (DNL) is not known up front";
}

TEST_F(DatasetLoad, RefusesAPhotoWhoseHeaderClaimsAnotherSizeThanItsCamera) {
    // A few hundred bytes that a decoder would expand to 1.2 GB.
    writeBytes(photo(1), claimingJpeg(20000, 20000));
    EXPECT_EQ(loadError(), "image " + photo(1).string() + " is 20000 × 20000 pixels, but its camera 1 is 32 × 24");
    options.downscale = 2;
    EXPECT_EQ(loadError(), "image " + photo(1).string() +
                               " is 20000 × 20000 pixels, but its camera 1 is 32 × 24 or, downscaled 2×, 16 × 12");
}

TEST_F(DatasetLoad, TakesPhotosAtTheCameraSizeOrAlreadyAtTheDownscaledSize) {
    options.downscale = 2;
    cv::Mat full = cv::imread(photo(2).string(), cv::IMREAD_COLOR), half;
    cv::resize(full, half, cv::Size(16, 12), 0, 0, cv::INTER_AREA);
    cv::imwrite(photo(2).string(), half);
    TrainingDataset dataset = TrainingDataset::load(model, options);
    ASSERT_EQ(dataset.training.size(), 4u);
    for (const auto& image : dataset.training) {
        EXPECT_EQ(image.camera.width, 16) << image.name;
        EXPECT_EQ(image.camera.height, 12) << image.name;
        EXPECT_FLOAT_EQ(image.camera.fx, dataset.training[0].camera.fx) << image.name;
        EXPECT_EQ(image.pixels.size(), 16u * 12 * 3) << image.name;
    }

    cv::resize(full, half, cv::Size(20, 15));
    cv::imwrite(photo(2).string(), half);
    EXPECT_EQ(loadError(), "image " + photo(2).string() +
                               " is 20 × 15 pixels, but its camera 1 is 32 × 24 or, downscaled 2×, 16 × 12");
}

TEST_F(DatasetLoad, PhotosAndMasksThatAreNotRegularFilesAreRefusedWithoutWaiting) {
    fs::remove(photo(2));
    tessaron::testing::makeFifo(photo(2));
    std::string message;
    // A load blocked on the FIFO is released after the deadline and fails
    // on the message; a sound one never waits.
    EXPECT_TRUE(tessaron::testing::returnsWithin(photo(2), [&] { message = loadError(); }, std::chrono::seconds(60)));
    EXPECT_EQ(message, "Could not read " + photo(2).string() + ": is a FIFO, not a regular file (image)");

    fs::remove(photo(2));
    RenderedDataset::write(folder.path(), 4, 32, 24);
    options.maskFolder = folder / "masks";
    fs::create_directories(*options.maskFolder);
    const fs::path mask = *options.maskFolder / (RenderedDataset::imageName(0) + ".png");
    tessaron::testing::makeFifo(mask);
    EXPECT_TRUE(tessaron::testing::returnsWithin(mask, [&] { message = loadError(); }, std::chrono::seconds(60)));
    EXPECT_EQ(message, "Could not read " + mask.string() + ": is a FIFO, not a regular file (mask)");

    // A mask larger than its photo is refused before it is decoded; photos
    // without a mask keep every pixel.
    fs::remove(mask);
    writeBytes(mask, claimingJpeg(20000, 20000));
    EXPECT_EQ(loadError(), "mask " + mask.string() + " is 20000 × 20000 pixels, larger than its photo (32 × 24)");
    writeBytes(mask, encoded(".png", 32, 24));
    TrainingDataset dataset = TrainingDataset::load(model, options);
    EXPECT_EQ(dataset.training[0].mask.size(), 32u * 24);
    EXPECT_TRUE(dataset.training[1].mask.empty());
}

// A name that leads out of the images folder is refused before any file is
// opened, even when the file it names is there and is a photo of the right
// size (it is a copy of the dataset's own).
TEST_F(DatasetLoad, ImageNamesThatLeaveTheImagesFolderAreRefusedByName) {
    const fs::path outside = folder / "outside.png";
    fs::copy_file(photo(1), outside);
    for (const std::string& name : {std::string("../outside.png"), outside.string()}) {
        model.images.begin()->second.name = name;
        const std::string why = name.starts_with('/') ? "has an absolute path" : "has a \"..\" component";
        EXPECT_EQ(loadError(), "image \"" + name + "\" in images.bin " + why +
                                   "; an image must lie inside the images folder");
    }
    // A subfolder of the images folder is inside it.
    fs::create_directories(folder / "images" / "cam0");
    fs::copy_file(photo(1), folder / "images" / "cam0" / "view.png");
    model.images.begin()->second.name = "cam0/./view.png";
    EXPECT_EQ(loadError(), "");
}

TEST(TrainingDatasetChecks, CamerasAndPosesThatCannotBeRenderedAreRefusedByName) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto cameraError = [](colmap::CameraModel camera) -> std::string {
        try {
            TrainingDataset::checkCamera(camera);
            return "";
        } catch (const TrainingDataset::LoadError& error) {
            return error.what();
        }
    };
    const colmap::CameraModel good{7, 4, 640, 480, {500, 510, 320, 240, -0.1, 0, 0, 0}};
    EXPECT_EQ(cameraError(good), "");
    colmap::CameraModel camera = good;
    camera.params[0] = nan;
    EXPECT_EQ(cameraError(camera), "camera 7 has parameter 1 of 8 = nan, not a finite number");
    camera = good;
    camera.params[5] = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(cameraError(camera), "camera 7 has parameter 6 of 8 = -inf, not a finite number");
    camera = good;
    camera.params[1] = 0;
    EXPECT_EQ(cameraError(camera), "camera 7 has a focal length of 0.0, not a positive number");
    camera = {8, 0, 640, 480, {-500, 320, 240}};
    EXPECT_EQ(cameraError(camera), "camera 8 has a focal length of -500.0, not a positive number");
    camera = good;
    camera.width = 0;
    EXPECT_EQ(cameraError(camera), "camera 7 is 0 × 480 pixels: a camera needs a width and a height of 1 to 1048576, "
                                   "and at most 1073741824 pixels");
    camera = good;
    camera.width = camera.height = 40000;
    EXPECT_NE(cameraError(camera).find("camera 7 is 40000 × 40000 pixels"), std::string::npos);

    auto poseError = [](colmap::ImageModel image) -> std::string {
        try {
            TrainingDataset::checkPose(image);
            return "";
        } catch (const TrainingDataset::LoadError& error) {
            return error.what();
        }
    };
    colmap::ImageModel image;
    image.name = std::string("caf\xe9.jpg");
    EXPECT_EQ(poseError(image), "");
    image.tz = nan;
    EXPECT_EQ(poseError(image), "image caf\xEF\xBF\xBD.jpg has a pose that is not finite (qw qx qy qz tx ty tz: "
                                "1.0 0.0 0.0 0.0 0.0 0.0 nan)");
    image.tz = 0;
    image.qw = 0;
    EXPECT_EQ(poseError(image), "image caf\xEF\xBF\xBD.jpg has a rotation quaternion of no usable length");
}
