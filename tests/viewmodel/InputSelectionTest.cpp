// Choosing the input: panels, drops and the analyses that race each other.
#include <gtest/gtest.h>

#include <QMimeData>
#include <QTest>
#include <QUrl>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

#include "viewmodel/ScriptedDialogs.hpp"
#include "support/EventLoopWait.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

namespace fs = std::filesystem;
using input::Spherical360Detection;
using viewmodel::PipelineViewModel;

// Analyses that finish when the test releases their input; the profile's
// image count tells which input it measured.
class HeldAnalyses {
public:
    PipelineViewModel::InputAnalyzer analyzer(std::map<fs::path, int64_t> counts) {
        return [this, counts](const fs::path& url, bool isVideo, int64_t) {
            ++started;
            std::unique_lock lock(mutex_);
            released_.wait(lock, [&] { return releasedURLs_.contains(url); });
            PipelineViewModel::InputAnalysis analysis;
            analysis.profile = engines::DatasetProfile{};
            analysis.profile->imageCount = counts.at(url);
            if (isVideo) analysis.detection = Spherical360Detection::likelyEquirectangular();
            ++finished;
            return analysis;
        };
    }
    void release(const fs::path& url) {
        std::lock_guard lock(mutex_);
        releasedURLs_.insert(url);
        released_.notify_all();
    }
    std::atomic<int> started = 0;
    std::atomic<int> finished = 0;

private:
    std::mutex mutex_;
    std::condition_variable released_;
    std::set<fs::path> releasedURLs_;
};

class InputSelection : public ViewModelTest {
protected:
    void SetUp() override {
        model_ = makeViewModel();
        model_->setDialogService(dialogs_);
        fs::create_directories(photos_);
        writeTextFile(video_, "");
        ModelAccess::setInputAnalyzer(*model_, held_.analyzer({{photos_, 2}, {video_, 1}}));
    }
    void TearDown() override {
        // No analysis is left waiting when the model is destroyed.
        held_.release(photos_);
        held_.release(video_);
        model_.reset();
    }
    // A late result has had every chance to arrive.
    void settle(int analyses) {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return held_.finished == analyses &&
                       ModelAccess::backgroundWorkCount(*model_) == std::size_t(held_.started - held_.finished);
            },
            30000));
    }

    TempDir folder_{"viewmodel-input"};
    fs::path photos_ = folder_.path() / "photos";
    fs::path video_ = folder_.path() / "clip.mp4";
    HeldAnalyses held_;
    std::shared_ptr<ScriptedDialogs> dialogs_ = std::make_shared<ScriptedDialogs>();
    std::unique_ptr<PipelineViewModel> model_;
};

TEST_F(InputSelection, OnlyTheNewestOfTwoQuickSelectionsPublishesEvenWhenItFinishesFirst) {
    model_->selectInput(video_, true);
    model_->selectInput(photos_, false);
    EXPECT_TRUE(model_->isAnalyzingInput());
    held_.release(photos_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->datasetProfile().has_value(); }, 30000));
    EXPECT_EQ(model_->datasetProfile()->imageCount, 2);
    EXPECT_FALSE(model_->isAnalyzingInput());
    model_->setTreatAs360(true);
    held_.release(video_);
    settle(2);
    EXPECT_EQ(model_->datasetProfile()->imageCount, 2);
    EXPECT_FALSE(model_->spherical360Detection());  // the video's result never arrived
    EXPECT_TRUE(model_->treatAs360());
    EXPECT_EQ(model_->selectedInputURL(), photos_);
    EXPECT_FALSE(model_->isInputVideo());
}

TEST_F(InputSelection, TheOlderAnalysisFinishingFirstLeavesTheFlagOn) {
    model_->selectInput(video_, true);
    model_->selectInput(photos_, false);
    held_.release(video_);
    settle(1);
    EXPECT_TRUE(model_->isAnalyzingInput());
    EXPECT_FALSE(model_->datasetProfile());
    EXPECT_FALSE(model_->canStart());
}

TEST_F(InputSelection, ANewInputClearsTheOldResultsAtOnceAndAVideoGetsItsDetection) {
    held_.release(video_);
    model_->selectInput(video_, true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->isAnalyzingInput(); }, 30000));
    EXPECT_EQ(model_->spherical360Detection(), Spherical360Detection::likelyEquirectangular());
    model_->selectInput(photos_, false);
    EXPECT_FALSE(model_->datasetProfile());
    EXPECT_FALSE(model_->spherical360Detection());
}

TEST_F(InputSelection, ResetDropsARunningAnalysisAndClearsTheFlagAtOnce) {
    model_->selectInput(photos_, false);
    model_->resetRunState();
    EXPECT_FALSE(model_->isAnalyzingInput());
    held_.release(photos_);
    settle(1);
    EXPECT_FALSE(model_->datasetProfile());
    EXPECT_FALSE(model_->selectedInputURL());
}

TEST_F(InputSelection, ThePanelOffersFoldersAndVideosAndTellsThemApart) {
    held_.release(photos_);
    held_.release(video_);
    dialogs_->answer(photos_);
    model_->chooseInput();
    ASSERT_EQ(dialogs_->opened.size(), 1u);
    EXPECT_EQ(dialogs_->opened[0].title, "Choose a folder of photos or a video");
    EXPECT_TRUE(dialogs_->opened[0].canChooseFiles);
    EXPECT_TRUE(dialogs_->opened[0].canChooseFolders);
    EXPECT_EQ(dialogs_->opened[0].fileTypes, QStringList{"video/*"});
    EXPECT_EQ(dialogs_->opened[0].fileTypesName, "Videos");
    EXPECT_EQ(model_->selectedInputURL(), photos_);
    EXPECT_FALSE(model_->isInputVideo());

    dialogs_->answer(video_);
    model_->chooseInput();
    EXPECT_EQ(model_->selectedInputURL(), video_);
    EXPECT_TRUE(model_->isInputVideo());

    // Anything that is not a video is no input, and the user is told why.
    const fs::path notes = folder_.path() / "notes.txt";
    writeTextFile(notes, "text");
    dialogs_->answer(notes);
    model_->chooseInput();
    EXPECT_EQ(model_->selectedInputURL(), video_);
    const QString why =
        "\u201cnotes.txt\u201d is neither a folder nor a video. Choose a folder of photos or a video file.";
    EXPECT_EQ(dialogs_->messages, std::vector<QString>{"Choose a folder of photos or a video: " + why});
    // The panel itself refuses such a file with the same words.
    EXPECT_EQ(dialogs_->opened[2].wrongTypeMessage.arg("notes.txt"), why);
}

struct DropCase {
    const char* name;
    std::vector<const char*> items;  // under the test folder; "http..." stays a web address
    bool accepted;
    const char* selected;  // under the test folder
    bool isVideo;
};

void PrintTo(const DropCase& drop, std::ostream* out) { *out << drop.name; }

class Drop : public InputSelection, public ::testing::WithParamInterface<DropCase> {};

TEST_P(Drop, TakesTheFirstItemWhenItIsAFolderOrAVideo) {
    held_.release(photos_);
    held_.release(video_);
    writeTextFile(folder_.path() / "notes.txt", "text");
    QMimeData data;
    QList<QUrl> urls;
    for (const char* item : GetParam().items)
        urls.push_back(std::string_view(item).starts_with("http")
                           ? QUrl(QString::fromLatin1(item))
                           : QUrl::fromLocalFile(QString::fromStdString((folder_.path() / item).string())));
    data.setUrls(urls);
    EXPECT_EQ(model_->handleDrop(data), GetParam().accepted);
    ASSERT_TRUE(deliverEventsDueWithin());
    if (!GetParam().accepted) {
        EXPECT_FALSE(model_->selectedInputURL());
        return;
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->selectedInputURL().has_value(); }, 30000));
    EXPECT_EQ(model_->selectedInputURL(), folder_.path() / GetParam().selected);
    EXPECT_EQ(model_->isInputVideo(), GetParam().isVideo);
}

INSTANTIATE_TEST_SUITE_P(Items, Drop,
                         ::testing::Values(DropCase{"Folder", {"photos"}, true, "photos", false},
                                           DropCase{"Video", {"clip.mp4"}, true, "clip.mp4", true},
                                           DropCase{"FirstOfSeveral", {"clip.mp4", "photos"}, true, "clip.mp4", true},
                                           DropCase{"TextFile", {"notes.txt"}, false, "", false},
                                           DropCase{"TextFileBeforeAVideo", {"notes.txt", "clip.mp4"}, false, "", false},
                                           DropCase{"WebAddress", {"https://example.com/clip.mp4"}, false, "", false},
                                           DropCase{"Nothing", {}, false, "", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InputSelection, TheTourSampleTakesNoInput) {
    model_->setIsTourSample(true);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(photos_.string()))});
    EXPECT_FALSE(model_->handleDrop(data));
    model_->chooseInput();  // no panel was scripted: none may open
    EXPECT_TRUE(dialogs_->opened.empty());
}

TEST_F(InputSelection, ACOLMAPFolderWithoutAModelClearsThePreviousChoice) {
    const fs::path model = folder_.path() / "colmap";
    fs::create_directories(model / "sparse" / "0");
    std::atomic<int> analysed = 0;
    ModelAccess::setSceneAnalyzer(*model_, [&](const fs::path& sparse) -> viewmodel::OptionalSceneAnalysis {
        EXPECT_EQ(sparse, model / "sparse" / "0");
        ++analysed;
        return engines::SceneAnalysis{};
    });
    dialogs_->answer(model);
    model_->chooseCOLMAPFolder();
    EXPECT_EQ(dialogs_->opened[0].title, "Select COLMAP Output Folder");
    EXPECT_EQ(dialogs_->opened[0].message,
              "Choose a folder containing sparse/0/ with cameras.bin, images.bin, points3D.bin");
    EXPECT_EQ(model_->colmapDataURL(), model);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->sceneAnalysis().has_value(); }, 30000));

    dialogs_->answer(photos_);
    model_->chooseCOLMAPFolder();
    EXPECT_FALSE(model_->colmapDataURL());
    EXPECT_FALSE(model_->sceneAnalysis());
    EXPECT_EQ(analysed, 1);
}

TEST_F(InputSelection, ASceneAnalysisOfAFolderNoLongerChosenIsDropped) {
    const fs::path model = folder_.path() / "colmap";
    fs::create_directories(model / "sparse" / "0");
    std::atomic<bool> release = false;
    std::atomic<bool> done = false;
    ModelAccess::setSceneAnalyzer(*model_, [&](const fs::path&) -> viewmodel::OptionalSceneAnalysis {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        done = true;
        return engines::SceneAnalysis{};
    });
    dialogs_->answer(model);
    model_->chooseCOLMAPFolder();
    dialogs_->answer(photos_);  // no model there
    model_->chooseCOLMAPFolder();
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load() && ModelAccess::backgroundWorkCount(*model_) == 0; }, 30000));
    EXPECT_FALSE(model_->sceneAnalysis());
}

}  // namespace
}  // namespace tessaron::testing
