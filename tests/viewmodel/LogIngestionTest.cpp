// Engine lines into progress values and step logs: the recorded output of
// real COLMAP 3.8 runs and of the training engine, the caps, and lines from
// several threads at once.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <thread>
#include <vector>

#include "support/EventLoopWait.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using pipeline::PipelineLogStep;
using viewmodel::PipelineViewModel;

struct IngestionCase {
    const char* name;
    PipelineLogStep step;
    std::vector<std::string> lines;
    qint64 totalImages;
    qint64 registeredImages;
    std::optional<QString> engineRam;
};

void PrintTo(const IngestionCase& value, std::ostream* stream) { *stream << value.name; }

class LogIngestion : public ViewModelTest, public ::testing::WithParamInterface<IngestionCase> {};

TEST_P(LogIngestion, PublishesTheParsedValuesAndLogsEveryLine) {
    const IngestionCase& example = GetParam();
    auto model = makeViewModel();
    for (const std::string& line : example.lines) ModelAccess::ingestLogLine(*model, example.step, line);
    ASSERT_TRUE(deliverEventsDueWithin());  // the parsed values hop to the GUI thread
    ModelAccess::flushLogBuffer(*model);
    EXPECT_EQ(model->sfmTotalImages(), example.totalImages);
    EXPECT_EQ(model->sfmRegisteredImages(), example.registeredImages);
    EXPECT_EQ(model->engineRamString(), example.engineRam);
    const QString& log = example.step == PipelineLogStep::sfm ? model->sfmLog()
                         : example.step == PipelineLogStep::training ? model->trainingLog()
                                                                     : model->extractionLog();
    QString expected;
    for (const std::string& line : example.lines) expected += QString::fromStdString(line) + "\n";
    EXPECT_EQ(log, expected);
}

INSTANTIATE_TEST_SUITE_P(
    RecordedLines, LogIngestion,
    ::testing::Values(
        // Debian's COLMAP 3.8: feature extraction and the mapper, as printed.
        IngestionCase{"colmap38",
                      PipelineLogStep::sfm,
                      {"==============================================================================",
                       "Feature extraction", "Processed file [1/12]", "  Name:            image_000.jpg",
                       "  Dimensions:      640 x 480", "  Features:        1872", "Processed file [12/12]",
                       "Elapsed time: 0.041 [minutes]", "Registering image #5 (3)",
                       "  => Image sees 412 / 1180 points", "Registering image #9 (11)",
                       "  => Image sees 388 / 1522 points"},
                      12, 11, std::nullopt},
        // Newer COLMAP names the registered count.
        IngestionCase{"colmapNewer",
                      PipelineLogStep::sfm,
                      {"Processed file [3/120]", "Registering image #57 (num_reg_frames=42)"},
                      120, 42, std::nullopt},
        // The same marks outside the COLMAP step are only logged.
        IngestionCase{"otherStep",
                      PipelineLogStep::extraction,
                      {"Processed file [3/120]", "Registering image #57 (42)", "[MEM] phys=512.3 MB"},
                      0, 0, std::nullopt},
        IngestionCase{"malformed",
                      PipelineLogStep::sfm,
                      {"Processed file [3/]", "Registering image #x (4)", "Registering image #7 (num_reg=4)",
                       "Processed file [1/99999999999999999999999]"},
                      0, 0, std::nullopt},
        // The engine's memory lines and the rounding at the unit change.
        IngestionCase{"engineMemory",
                      PipelineLogStep::training,
                      {"[MEM] phys=512.3 MB virt=2048.0 MB", "step 100 loss 0.0812"},
                      0, 0, QString("512 MB")},
        IngestionCase{"belowOneGB", PipelineLogStep::training, {"[MEM] phys=1023.6 MB"}, 0, 0, QString("1024 MB")},
        IngestionCase{"oneGB", PipelineLogStep::training, {"[MEM] phys=1024 MB"}, 0, 0, QString("1.0 GB")},
        IngestionCase{"noBlank", PipelineLogStep::training, {"[MEM] phys=2048MB"}, 0, 0, QString("2.0 GB")},
        IngestionCase{"withoutPhys", PipelineLogStep::training, {"[MEM] rss unknown"}, 0, 0, std::nullopt},
        IngestionCase{"withoutMarker", PipelineLogStep::training, {"phys=300 MB"}, 0, 0, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ViewModelTest, ALineWithoutBreaksIsCutAndTheLogsStayBounded) {
    auto model = makeViewModel();
    const std::string megabyte(1 << 20, 'z');
    ModelAccess::ingestLogLine(*model, PipelineLogStep::training, megabyte);
    // Multi-byte characters are cut whole.
    std::string accents;
    for (int index = 0; index < 5000; ++index) accents += "é";
    ModelAccess::ingestLogLine(*model, PipelineLogStep::export_, accents);
    ModelAccess::flushLogBuffer(*model);
    const QString expected = QString(4095, 'z') + QChar(0x2026) + "\n";
    EXPECT_EQ(model->trainingLog(), expected);
    EXPECT_EQ(model->exportLog(), QString(4095, QChar(0xE9)) + QChar(0x2026) + "\n");

    // 3,000 such lines keep the log within its character cap.
    for (int line = 0; line < 3000; ++line) ModelAccess::ingestLogLine(*model, PipelineLogStep::training, megabyte);
    ModelAccess::flushLogBuffer(*model);
    EXPECT_LE(model->trainingLog().size(), 2 * viewmodel::StepLogBuffer::characterLimit);
    EXPECT_LE(model->trainingLog().count('\n'), 2 * viewmodel::StepLogBuffer::lineLimit);
}

TEST_F(ViewModelTest, LinesFromThreeThreadsAtOnceAreAllLoggedInEachThreadsOrder) {
    auto model = makeViewModel();
    constexpr int linesPerThread = 600;
    {
        std::vector<std::jthread> threads;
        for (int thread = 0; thread < 3; ++thread)
            threads.emplace_back([&model, thread] {
                for (int line = 0; line < linesPerThread; ++line)
                    ModelAccess::ingestLogLine(*model, PipelineLogStep::sfm,
                                         "t" + std::to_string(thread) + " " + std::to_string(line));
            });
        // Flushes race with the appends; none may lose a line.
        for (int flush = 0; flush < 20; ++flush) {
            ModelAccess::flushLogBuffer(*model);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    ModelAccess::flushLogBuffer(*model);
    const QStringList lines = model->sfmLog().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3 * linesPerThread);
    std::array<int, 3> next{};
    for (const QString& line : lines) {
        const int thread = line.mid(1, 1).toInt();
        EXPECT_EQ(line.mid(3).toInt(), next[size_t(thread)]++) << line.toStdString();
    }
}

TEST_F(ViewModelTest, FlushPublishesOncePerStepAndNothingWhenNothingWaits) {
    auto model = makeViewModel();
    QSignalSpy sfm(model.get(), &PipelineViewModel::sfmLogChanged);
    QSignalSpy training(model.get(), &PipelineViewModel::trainingLogChanged);
    ModelAccess::flushLogBuffer(*model);
    EXPECT_EQ(sfm.count(), 0);
    ModelAccess::ingestLogLine(*model, PipelineLogStep::sfm, "one");
    ModelAccess::ingestLogLine(*model, PipelineLogStep::sfm, "two");
    ModelAccess::ingestLogLine(*model, PipelineLogStep::training, "three");
    ModelAccess::flushLogBuffer(*model);
    EXPECT_EQ(sfm.count(), 1);
    EXPECT_EQ(training.count(), 1);
    EXPECT_EQ(model->sfmLog(), "one\ntwo\n");

    // The timer flushes while an operation runs; a flush from a worker
    // changes the log later, on the GUI thread.
    ModelAccess::startLogFlushTimer(*model);
    ModelAccess::ingestLogLine(*model, PipelineLogStep::sfm, "three");
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->sfmLog() == QString("one\ntwo\nthree\n"); }, 30000));
    ModelAccess::stopLogFlushTimer(*model);
    EXPECT_FALSE(ModelAccess::isLogFlushTimerActive(*model));
    ModelAccess::ingestLogLine(*model, PipelineLogStep::sfm, "four");
    std::jthread([&] { ModelAccess::flushLogBuffer(*model); }).join();
    EXPECT_EQ(model->sfmLog(), "one\ntwo\nthree\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->sfmLog() == QString("one\ntwo\nthree\nfour\n"); }));
}

TEST_F(ViewModelTest, LinesThroughTheBoundCallbackReachTheLogs) {
    auto model = makeViewModel();
    // The manager writes each line to its run log, then hands it on.
    std::shared_ptr<pipeline::PipelineManager> manager = model->pipelineManager();
    TempDir folder("tessaron-viewmodel-log");
    manager->remergeExistingCells({.workspaceURL = folder / "missing-workspace", .downscale = 1});
    ModelAccess::flushLogBuffer(*model);
    EXPECT_FALSE(model->exportLog().isEmpty());
}

}  // namespace
}  // namespace tessaron::testing
