// The converter's queue model: adding and removing, runs over real and
// scripted converters, cancellation and the model's lifetime during a run.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "ConverterTestSupport.hpp"
#include "SplatFormats/AutodetectSceneReader.hpp"
#include "support/EventLoopWait.hpp"
#include "viewer/ConverterModel.hpp"

namespace fs = std::filesystem;
using namespace tessaron::viewer;
namespace engines = tessaron::engines;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;
using tessaron::viewer::testing::ScriptedConverter;
using tessaron::viewer::testing::waitFor;
using Kind = ConverterModel::Item::State::Kind;

namespace {

class ConverterModelTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(output_); }

    // A model whose folder panel answers with the output folder.
    std::shared_ptr<ConverterModel> makeModel(std::shared_ptr<engines::SplatConverterRunner> runner = nullptr) {
        auto model = ConverterModel::create(std::nullopt, std::move(runner));
        model->setOutputFolderChooser([this](const fs::path&) { return output_; });
        return model;
    }

    std::shared_ptr<ConverterModel> slowModel() {
        return makeModel(std::make_shared<ScriptedConverter>(tessaron::viewer::testing::writeSlowConverter(folder_.path())));
    }

    fs::path file(const std::string& name, const std::string& contents = "x") {
        writeTextFile(folder_ / name, contents);
        return folder_ / name;
    }

    static std::vector<std::string> names(const ConverterModel& model) {
        std::vector<std::string> result;
        for (const auto& item : model.queue()) result.push_back(item.url.filename().string());
        return result;
    }

    static bool finished(const ConverterModel& model) { return !model.isRunning(); }

    TempDir folder_;
    fs::path output_ = folder_ / "out";
};

}  // namespace

TEST_F(ConverterModelTest, AddSkipsWhatWasQueuedBeforeTheCallButQueuesARepeatWithinIt) {
    auto model = makeModel();
    QSignalSpy changed(model.get(), &ConverterModel::queueChanged);
    fs::create_directories(folder_ / "sub");
    model->add({file("a.ply"), file("b.ply")});
    model->add({folder_ / "sub" / ".." / "a.ply", file("c.ply"), folder_ / "c.ply"});
    EXPECT_EQ(names(*model), (std::vector<std::string>{"a.ply", "b.ply", "c.ply", "c.ply"}));
    EXPECT_EQ(model->queue()[0].url, folder_ / "a.ply");
    EXPECT_NE(model->queue()[2].id, model->queue()[3].id);
    for (const auto& item : model->queue()) EXPECT_EQ(item.state, ConverterModel::Item::State::pending());
    model->add({folder_ / "b.ply"});
    EXPECT_EQ(model->queue().size(), 4u);
    EXPECT_EQ(changed.count(), 2);
}

TEST_F(ConverterModelTest, TheInitialFileIsQueuedStandardisedWithoutChecks) {
    auto model = ConverterModel::create(folder_ / "." / "notes.txt");
    ASSERT_EQ(model->queue().size(), 1u);
    EXPECT_EQ(model->queue()[0].url, folder_ / "notes.txt");
    EXPECT_EQ(model->format(), engines::SplatOutputFormat::spz);
    EXPECT_FALSE(model->isRunning());
    EXPECT_TRUE(model->statusLine().isEmpty());
}

TEST_F(ConverterModelTest, RemoveTakesOutOneItemAndKeepsTheOrder) {
    auto model = makeModel();
    model->add({file("a.ply"), file("b.ply"), file("c.ply")});
    model->remove(model->queue()[1].id);
    EXPECT_EQ(names(*model), (std::vector<std::string>{"a.ply", "c.ply"}));
    model->remove(QUuid::createUuid());
    EXPECT_EQ(model->queue().size(), 2u);
}

TEST_F(ConverterModelTest, StatesCompareTheirPayloadOnly) {
    using State = ConverterModel::Item::State;
    EXPECT_EQ(State::done("/a.spz"), State::done("/a.spz"));
    EXPECT_NE(State::done("/a.spz"), State::done("/b.spz"));
    EXPECT_NE(State::failed("x"), State::failed("y"));
    EXPECT_NE(State::pending(), State::running());
    EXPECT_NE(State::failed(""), State::pending());
}

TEST_F(ConverterModelTest, ARunConvertsEveryItemGoesOnAfterAFailureAndASecondRunConvertsAllAgain) {
    auto model = makeModel();
    tessaron::viewer::testing::writeScene(folder_ / "a.ply", 10);
    tessaron::viewer::testing::writeScene(folder_ / "c.ply", 10);
    model->add({folder_ / "a.ply", file("broken.ply", "not a splat file"), folder_ / "c.ply"});
    QSignalSpy running(model.get(), &ConverterModel::isRunningChanged);

    model->startConversion();
    EXPECT_TRUE(model->isRunning());
    EXPECT_TRUE(model->statusLine().isEmpty());
    ASSERT_TRUE(waitFor([&] { return finished(*model); }));
    EXPECT_EQ(running.count(), 2);
    EXPECT_EQ(model->statusLine(), "Done.");
    EXPECT_EQ(model->queue()[0].state, ConverterModel::Item::State::done(output_ / "a.spz"));
    EXPECT_EQ(model->queue()[1].state, ConverterModel::Item::State::failed("Converter exited with status 1"));
    EXPECT_EQ(model->queue()[2].state, ConverterModel::Item::State::done(output_ / "c.spz"));

    model->startConversion();
    ASSERT_TRUE(waitFor([&] { return finished(*model); }));
    EXPECT_EQ(model->queue()[0].state, ConverterModel::Item::State::done(output_ / "a-converted.spz"));
    EXPECT_EQ(model->queue()[1].state.kind, Kind::failed);
    EXPECT_EQ(model->queue()[2].state, ConverterModel::Item::State::done(output_ / "c-converted.spz"));
}

// The window's converter for splat-transform's formats: a cut PLY fails its
// row with our reader's message, and splat-transform never runs.
TEST_F(ConverterModelTest, ATruncatedPLYFailsWithOurReadersMessageBeforeSplatTransform) {
    const fs::path ran = folder_ / "splat-transform-ran";
    auto model = makeModel(std::make_shared<ScriptedConverter>(
        std::nullopt, tessaron::viewer::testing::writeScript(folder_ / "splat-transform",
                                                             "touch '" + ran.string() + "'\nexit 0\n")));
    tessaron::viewer::testing::writeScene(folder_ / "whole.ply", 200);
    const std::string whole = tessaron::testing::readTextFile(folder_ / "whole.ply");
    model->add({file("half.ply", whole.substr(0, whole.size() / 2))});
    model->setFormat(engines::SplatOutputFormat::sog);
    std::string readerMessage;
    try {
        splatformats::AutodetectSceneReader(folder_ / "half.ply").readAll();
    } catch (const std::exception& error) {
        readerMessage = error.what();
    }
    ASSERT_FALSE(readerMessage.empty());

    model->startConversion();
    ASSERT_TRUE(waitFor([&] { return finished(*model); }));
    EXPECT_EQ(model->queue()[0].state, ConverterModel::Item::State::failed(QString::fromStdString(readerMessage)));
    EXPECT_FALSE(fs::exists(ran));
    EXPECT_FALSE(fs::exists(output_ / "half.sog"));
}

TEST_F(ConverterModelTest, TheFormatIsReadWhenTheRunStarts) {
    auto model = makeModel();
    tessaron::viewer::testing::writeScene(folder_ / "a.ply", 10);
    model->add({folder_ / "a.ply"});
    model->setFormat(engines::SplatOutputFormat::plyAscii);
    model->startConversion();
    model->setFormat(engines::SplatOutputFormat::splat);
    ASSERT_TRUE(waitFor([&] { return finished(*model); }));
    EXPECT_EQ(model->queue()[0].state, ConverterModel::Item::State::done(output_ / "a.ascii.ply"));
}

TEST_F(ConverterModelTest, AFolderPanelClosedWithoutAFolderChangesNothing) {
    auto model = makeModel();
    model->add({file("a.ply")});
    fs::path asked;
    model->setOutputFolderChooser([&](const fs::path& start) -> std::optional<fs::path> {
        asked = start;
        return std::nullopt;
    });
    model->startConversion();
    EXPECT_EQ(asked, folder_.path());
    EXPECT_FALSE(model->isRunning());
    ASSERT_TRUE(tessaron::testing::deliverEventsDueWithin());
    EXPECT_EQ(model->queue()[0].state.kind, Kind::pending);

    // Nothing to convert: the panel is not even shown.
    auto empty = makeModel();
    bool shown = false;
    empty->setOutputFolderChooser([&](const fs::path&) -> std::optional<fs::path> {
        shown = true;
        return std::nullopt;
    });
    empty->startConversion();
    EXPECT_FALSE(shown);
}

TEST_F(ConverterModelTest, CancellingDuringAConversionFailsItWithMinus15AndLeavesTheRestPending) {
    auto model = slowModel();
    model->add({file("a.ply"), file("b.ply")});
    model->startConversion();
    ASSERT_TRUE(waitFor([&] { return model->statusLine() == "started"; }));
    EXPECT_EQ(model->queue()[0].state.kind, Kind::running);
    ASSERT_TRUE(fs::exists(output_ / "a.spz"));

    model->cancel();
    EXPECT_EQ(model->statusLine(), "Cancelling…");
    ASSERT_TRUE(waitFor([&] { return finished(*model); }));
    EXPECT_EQ(model->queue()[0].state, ConverterModel::Item::State::failed("Converter exited with status -15"));
    EXPECT_EQ(model->queue()[1].state.kind, Kind::pending);
    EXPECT_EQ(model->statusLine(), "Cancelled.");
    EXPECT_FALSE(fs::exists(output_ / "a.spz"));
}

TEST_F(ConverterModelTest, ACancelBeforeTheFirstConversionConvertsNothing) {
    auto model = slowModel();
    model->add({file("a.ply")});
    model->startConversion();
    model->cancel();
    ASSERT_TRUE(waitFor([&] { return finished(*model); }));
    EXPECT_EQ(model->queue()[0].state.kind, Kind::pending);
    EXPECT_EQ(model->statusLine(), "Cancelled.");
    // A latch left by a cancel does not refuse the next run.
    tessaron::viewer::testing::writeScene(folder_ / "real.ply", 5);
    auto real = makeModel();
    real->add({folder_ / "real.ply"});
    real->cancel();
    real->startConversion();
    ASSERT_TRUE(waitFor([&] { return finished(*real); }));
    EXPECT_EQ(real->queue()[0].state.kind, Kind::done);
}

TEST_F(ConverterModelTest, ARunKeepsItsModelAliveUntilItEnds) {
    auto model = slowModel();
    model->add({file("a.ply")});
    model->startConversion();
    ASSERT_TRUE(waitFor([&] { return model->statusLine() == "started"; }));
    std::weak_ptr<ConverterModel> watched = model;
    model.reset();
    ASSERT_TRUE(tessaron::testing::deliverEventsDueWithin());
    ASSERT_FALSE(watched.expired());
    watched.lock()->cancel();
    EXPECT_TRUE(waitFor([&] { return watched.expired(); }));
}
