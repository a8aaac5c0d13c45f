#include "input/PersonMasker.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "KeyColourSegmenter.hpp"
#include "core/AtomicFile.hpp"
#include "input/HogPersonSegmenter.hpp"
#include "support/TempDir.hpp"

using tessaron::input::CropSpec;
using tessaron::input::PersonMasker;
using tessaron::input::PersonMaskMode;
using tessaron::testing::greenScreen;
using tessaron::testing::KeyColourSegmenter;
using tessaron::testing::paintPerson;

namespace {

struct Masking {
    std::shared_ptr<KeyColourSegmenter> segmenter = std::make_shared<KeyColourSegmenter>();
    PersonMasker masker{PersonMaskMode::allPeople, segmenter};
};

bool allKeep(const PersonMasker::MaskResult& result, const cv::Mat& image) {
    return !result.peopleFound && result.mask.type() == CV_8UC1 && result.mask.size() == image.size() &&
           cv::countNonZero(result.mask != 255) == 0;
}

std::optional<CropSpec> pitched(double pitch) { return CropSpec{0, 0, pitch, 100, 100}; }

}  // namespace

TEST(PersonMaskMode, RawValuesAndDisplayNames) {
    using namespace tessaron::input;
    EXPECT_THAT(allPersonMaskModes(),
                ::testing::ElementsAre(PersonMaskMode::off, PersonMaskMode::allPeople, PersonMaskMode::operatorOnly));
    EXPECT_EQ(toString(PersonMaskMode::operatorOnly), "operatorOnly");
    EXPECT_EQ(displayName(PersonMaskMode::off), "Off");
    EXPECT_EQ(displayName(PersonMaskMode::allPeople), "Mask all people");
    EXPECT_EQ(displayName(PersonMaskMode::operatorOnly), "Operator only");
    EXPECT_EQ(personMaskModeFromString("allPeople"), PersonMaskMode::allPeople);
    EXPECT_EQ(personMaskModeFromString("all"), std::nullopt);
}

TEST(PersonMasker, AnImageWithoutPeopleIsKeptWholeInBothModes) {
    Masking m;
    const cv::Mat image = greenScreen(120, 80);
    EXPECT_TRUE(allKeep(m.masker.maskAllPeople(image), image));
    EXPECT_TRUE(allKeep(m.masker.maskOperator(image, std::nullopt), image));
    EXPECT_TRUE(allKeep(m.masker.maskOperator(image, pitched(-55)), image));
}

TEST(PersonMasker, ConfidenceByte128IsAPersonAnd127IsNot) {
    Masking m;
    cv::Mat image = greenScreen(200, 100);
    paintPerson(image, cv::Rect(20, 20, 40, 40), 0, 127);
    EXPECT_TRUE(allKeep(m.masker.maskAllPeople(image), image));
    paintPerson(image, cv::Rect(20, 20, 40, 40), 0, 128);
    const auto result = m.masker.maskAllPeople(image);
    EXPECT_TRUE(result.peopleFound);
    EXPECT_EQ(result.mask.at<uchar>(40, 40), 0);
    EXPECT_EQ(result.mask.at<uchar>(90, 150), 255);
}

TEST(PersonMasker, APersonOfExactlyTheMinimumFractionIsMasked) {
    Masking m;
    // 10 of 20000 pixels is 0.05 % exactly; 9 are too few.
    cv::Mat image = greenScreen(200, 100);
    paintPerson(image, cv::Rect(50, 50, 9, 1), 0, 255);
    EXPECT_TRUE(allKeep(m.masker.maskAllPeople(image), image));
    paintPerson(image, cv::Rect(50, 50, 10, 1), 0, 255);
    EXPECT_TRUE(m.masker.maskAllPeople(image).peopleFound);
}

TEST(PersonMasker, TheFractionIsTakenOnTheSegmentationMask) {
    Masking m;
    m.segmenter->maskDivisor = 4;  // a 50 × 25 confidence map for a 200 × 100 image
    cv::Mat image = greenScreen(200, 100);
    paintPerson(image, cv::Rect(100, 40, 4, 4), 0, 255);  // one mask pixel of 1250: 0.08 %
    const auto result = m.masker.maskAllPeople(image);
    ASSERT_TRUE(result.peopleFound);
    EXPECT_EQ(result.mask.size(), image.size());
    EXPECT_EQ(result.mask.at<uchar>(42, 102), 0);
}

TEST(PersonMasker, AnInstanceValueOfOneHalfIsAPerson) {
    Masking m;
    cv::Mat image = greenScreen(100, 100);
    paintPerson(image, cv::Rect(0, 50, 100, 50), 1, 127);  // 127 / 256 < 0.5
    EXPECT_TRUE(allKeep(m.masker.maskOperator(image, std::nullopt), image));
    paintPerson(image, cv::Rect(0, 50, 100, 50), 1, 128);  // 128 / 256 = 0.5 exactly
    EXPECT_TRUE(m.masker.maskOperator(image, std::nullopt).peopleFound);
}

TEST(PersonMasker, AWinnerBelowFourPercentIsNotMasked) {
    Masking m;
    cv::Mat image = greenScreen(100, 100);
    paintPerson(image, cv::Rect(10, 80, 30, 10), 1, 255);  // 3 % in the lower half: wins, too small
    EXPECT_TRUE(allKeep(m.masker.maskOperator(image, pitched(0)), image));
    paintPerson(image, cv::Rect(10, 80, 40, 10), 1, 255);  // 4 % exactly
    EXPECT_TRUE(m.masker.maskOperator(image, pitched(0)).peopleFound);
}

TEST(PersonMasker, TheLowerOfTwoEqualInstancesIsTheOperator) {
    Masking m;
    cv::Mat image = greenScreen(100, 100);
    paintPerson(image, cv::Rect(0, 35, 50, 10), 1, 255);   // 5 %, centre v ≈ 0.4
    paintPerson(image, cv::Rect(50, 55, 50, 10), 2, 255);  // 5 %, centre v ≈ 0.6: bonus 0.5
    const auto result = m.masker.maskOperator(image, pitched(0));
    ASSERT_TRUE(result.peopleFound);
    EXPECT_EQ(result.mask.at<uchar>(60, 70), 0);
    EXPECT_EQ(result.mask.at<uchar>(40, 20), 255) << "the other person is not the operator";
}

TEST(PersonMasker, OnEqualScoresTheEarlierInstanceStays) {
    Masking m;
    cv::Mat image = greenScreen(100, 100);
    paintPerson(image, cv::Rect(5, 10, 20, 20), 1, 255);
    paintPerson(image, cv::Rect(60, 10, 20, 20), 2, 255);
    const auto result = m.masker.maskOperator(image, pitched(0));
    EXPECT_EQ(result.mask.at<uchar>(20, 15), 0);
    EXPECT_EQ(result.mask.at<uchar>(20, 70), 255);
    m.segmenter->unreadableInstances = {1};
    const auto skipped = m.masker.maskOperator(image, pitched(0));
    EXPECT_EQ(skipped.mask.at<uchar>(20, 15), 255) << "an unreadable instance is passed over";
    EXPECT_EQ(skipped.mask.at<uchar>(20, 70), 0);
}

TEST(PersonMasker, ThePitchOfTheViewWeighsThePlaceBonus) {
    Masking m;
    cv::Mat image = greenScreen(100, 100);
    paintPerson(image, cv::Rect(0, 10, 50, 20), 1, 255);  // bystander: 10 %, upper half
    paintPerson(image, cv::Rect(0, 70, 35, 20), 2, 255);  // operator: 7 %, lower part
    auto operatorMasked = [&](const std::optional<CropSpec>& view) {
        const auto result = m.masker.maskOperator(image, view);
        EXPECT_TRUE(result.peopleFound);
        return result.mask.at<uchar>(80, 10) == 0;
    };
    EXPECT_FALSE(operatorMasked(pitched(-55))) << "0.10 × 1.5 = 0.15 beats 0.07 × 2.0 = 0.14";
    EXPECT_TRUE(operatorMasked(pitched(55))) << "0.07 × 1.35 = 0.0945 beats 0.10 × 0.85 = 0.085";
    EXPECT_TRUE(operatorMasked(std::nullopt)) << "0.07 × 1.65 = 0.1155 beats 0.10 × 1.15 = 0.115";

    // The documented case: looking down, a 10 % bystander above loses to an 8 % operator below.
    cv::Mat looking = greenScreen(100, 100);
    paintPerson(looking, cv::Rect(0, 10, 50, 20), 1, 255);
    paintPerson(looking, cv::Rect(0, 70, 40, 20), 2, 255);
    EXPECT_EQ(m.masker.maskOperator(looking, pitched(-55)).mask.at<uchar>(80, 10), 0);
}

TEST(PersonMasker, SegmenterFailuresReachTheCaller) {
    Masking m;
    m.segmenter->callsUntilFailure = 0;
    const cv::Mat image = greenScreen(50, 50);
    EXPECT_THROW(m.masker.maskAllPeople(image), std::runtime_error);
    EXPECT_THROW(m.masker.maskOperator(image, std::nullopt), std::runtime_error);
}

class RefineRadius : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(RefineRadius, DilationRadiusIsCarriedToTheMaskScale) {
    const auto [maskSize, imageSize, radius] = GetParam();
    Masking m;
    cv::Mat binary(maskSize, maskSize, CV_8UC1, cv::Scalar(0));
    const int person = maskSize / 2;
    binary.at<uchar>(person, person) = 255;
    const cv::Mat mask = m.masker.refineMask(binary, imageSize, imageSize);
    ASSERT_EQ(mask.size(), cv::Size(imageSize, imageSize));
    EXPECT_EQ(cv::countNonZero((mask != 0) & (mask != 255)), 0);
    // The masked square spans 2r + 1 mask pixels, scaled to the image.
    const int masked = imageSize * imageSize - cv::countNonZero(mask);
    const double side = (2.0 * radius + 1) * imageSize / maskSize;
    EXPECT_NEAR(std::sqrt(double(masked)), side, std::max(1.5, 0.03 * side))
        << masked << " masked pixels; mask " << maskSize << " for image " << imageSize;
}

INSTANTIATE_TEST_SUITE_P(Scales, RefineRadius,
                         ::testing::Values(std::tuple{512, 2048, 2}, std::tuple{2048, 2048, 8},
                                           std::tuple{100, 2048, 1}, std::tuple{300, 400, 6}));

TEST(PersonMasker, FullSizeDilationIsExact) {
    Masking m;
    cv::Mat binary(200, 200, CV_8UC1, cv::Scalar(0));
    binary.at<uchar>(100, 100) = 255;
    const cv::Mat mask = m.masker.refineMask(binary, 200, 200);
    EXPECT_EQ(mask.at<uchar>(100, 91), 255);
    EXPECT_EQ(mask.at<uchar>(100, 92), 0);
    EXPECT_EQ(mask.at<uchar>(108, 108), 0);
    EXPECT_EQ(mask.at<uchar>(109, 100), 255);
}

TEST(PersonMasker, MasksAreWrittenAsGreyPNGsOfZeroAndFull) {
    tessaron::testing::TempDir folder;
    Masking m;
    cv::Mat image = greenScreen(64, 48);
    paintPerson(image, cv::Rect(10, 10, 20, 20), 0, 255);
    const auto result = m.masker.maskAllPeople(image);
    const auto file = folder / "masks/cam3/frame_000012.jpg.png";
    PersonMasker::writePNG(result.mask, file);
    const std::string bytes = tessaron::core::readWholeFile(file);
    ASSERT_GT(bytes.size(), 26u);
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
    EXPECT_EQ(int(bytes[24]), 8) << "bit depth";
    EXPECT_EQ(int(bytes[25]), 0) << "colour type grey";
    const cv::Mat read = cv::imread(file.string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(read.type(), CV_8UC1);
    ASSERT_EQ(read.size(), cv::Size(64, 48));
    EXPECT_EQ(cv::countNonZero((read != 0) & (read != 255)), 0);
    EXPECT_GT(cv::countNonZero(read == 0), 0);
}

TEST(PersonMasker, MaskImagesNeedExactlyOneBytePerPixel) {
    EXPECT_EQ(PersonMasker::makeMaskImage(std::vector<std::uint8_t>(12, 7), 4, 3).at<uchar>(2, 3), 7);
    try {
        PersonMasker::makeMaskImage(std::vector<std::uint8_t>(11, 7), 4, 3);
        FAIL();
    } catch (const PersonMasker::MaskerError& error) {
        EXPECT_EQ(error.kind(), PersonMasker::MaskerErrorKind::imageConversionFailed);
    }
    EXPECT_THROW(PersonMasker::makeMaskImage(std::vector<std::uint8_t>(), 0, 0), PersonMasker::MaskerError);
}

TEST(HogPersonSegmenter, AnEmptySceneHasNobody) {
    PersonMasker masker(PersonMaskMode::allPeople);
    EXPECT_EQ(masker.segmenterName(), "OpenCV HOG people detector + GrabCut");
    cv::Mat scene(720, 720, CV_8UC4, cv::Scalar(180, 170, 160, 255));
    cv::rectangle(scene, cv::Rect(100, 500, 500, 120), cv::Scalar(90, 80, 70, 255), cv::FILLED);
    EXPECT_TRUE(allKeep(masker.maskAllPeople(scene), scene));
    EXPECT_TRUE(allKeep(masker.maskOperator(scene, std::nullopt), scene));
    const cv::Mat tiny(20, 20, CV_8UC3, cv::Scalar(0, 0, 0));
    EXPECT_TRUE(allKeep(masker.maskAllPeople(tiny), tiny)) << "smaller than the detection window";
}
