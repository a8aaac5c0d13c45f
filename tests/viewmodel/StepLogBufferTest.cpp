// The step log buffer on its own: the trimming of a log, the cap of the
// waiting lines, and the hand-over of a flush on and off the owner's thread.
#include <gtest/gtest.h>

#include <QTest>

#include <thread>
#include <vector>

#include "viewmodel/StepLogBuffer.hpp"

namespace tessaron::testing {
namespace {

using pipeline::PipelineLogStep;
using viewmodel::StepLogBuffer;

TEST(StepLogBuffer, StepLogKeepsItsLast2000LinesOnce4000ArePassed) {
    QString log;
    QString text;
    for (int line = 1; line <= 4000; ++line) text += QString("line %1\n").arg(line);
    StepLogBuffer::appendTrimmingLines(log, text);
    EXPECT_EQ(log.count('\n'), 4000);
    StepLogBuffer::appendTrimmingLines(log, "line 4001\n");
    EXPECT_EQ(log.count('\n'), 2000);
    EXPECT_TRUE(log.startsWith("line 2002\n"));
    EXPECT_TRUE(log.endsWith("line 4001\n"));
}

TEST(StepLogBuffer, StepLogIsCappedInCharactersAtALineStart) {
    QString log = QString(15, 'a') + "\n" + QString(10, 'b') + "\n";
    StepLogBuffer::appendTrimmingLines(log, "ccccc\n", 2000, 10);
    EXPECT_EQ(log, "ccccc\n");
    // Without any line break the last characters are kept.
    QString unbroken;
    StepLogBuffer::appendTrimmingLines(unbroken, QString(25, 'x') + "yz", 2000, 10);
    EXPECT_EQ(unbroken, QString(8, 'x') + "yz");
}

struct Delivery {
    PipelineLogStep step;
    QString batch;
};

TEST(StepLogBuffer, AFlushHandsOneBatchPerStepAndKeepsOnlyTheLastLinesOfABatch) {
    std::vector<Delivery> delivered;
    StepLogBuffer buffer([&](PipelineLogStep step, const QString& batch) { delivered.push_back({step, batch}); });
    buffer.flush();
    EXPECT_TRUE(delivered.empty());

    for (int line = 1; line <= StepLogBuffer::lineLimit + 5; ++line)
        buffer.add(PipelineLogStep::training, "t" + std::to_string(line));
    buffer.add(PipelineLogStep::sfm, "s1");
    EXPECT_EQ(buffer.queue()->lastStep(), PipelineLogStep::sfm);
    buffer.flush();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].step, PipelineLogStep::sfm);
    EXPECT_EQ(delivered[0].batch, "s1\n");
    EXPECT_EQ(delivered[1].step, PipelineLogStep::training);
    EXPECT_EQ(delivered[1].batch.count('\n'), StepLogBuffer::lineLimit);
    EXPECT_TRUE(delivered[1].batch.startsWith("t6\n"));

    // A clear drops what waits and forgets the last step.
    buffer.add(PipelineLogStep::export_, "dropped");
    buffer.queue()->clear();
    EXPECT_EQ(buffer.queue()->lastStep(), std::nullopt);
    buffer.flush();
    EXPECT_EQ(delivered.size(), 2u);
}

TEST(StepLogBuffer, AFlushFromAWorkerDeliversLaterOnTheOwnersThreadAndTheTimerFlushesUntilStopped) {
    std::vector<Delivery> delivered;
    QThread* deliveredOn = nullptr;
    StepLogBuffer buffer([&](PipelineLogStep step, const QString& batch) {
        delivered.push_back({step, batch});
        deliveredOn = QThread::currentThread();
    });
    buffer.add(PipelineLogStep::dataPrep, "from a worker");
    std::jthread([&] { buffer.flush(); }).join();
    EXPECT_TRUE(delivered.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return delivered.size() == 1; }, 30000));
    EXPECT_EQ(deliveredOn, QThread::currentThread());
    EXPECT_EQ(delivered[0].batch, "from a worker\n");

    EXPECT_FALSE(buffer.isFlushing());
    buffer.startFlushing();
    EXPECT_TRUE(buffer.isFlushing());
    buffer.add(PipelineLogStep::dataPrep, "by the timer");
    ASSERT_TRUE(QTest::qWaitFor([&] { return delivered.size() == 2; }, 30000));
    buffer.stopFlushing();
    EXPECT_FALSE(buffer.isFlushing());
}

TEST(StepLogBuffer, AFlushPostedFromAWorkerNeverReachesABufferThatIsGone) {
    int delivered = 0;
    {
        StepLogBuffer buffer([&](PipelineLogStep, const QString&) { ++delivered; });
        buffer.add(PipelineLogStep::sfm, "late");
        std::jthread([&] { buffer.flush(); }).join();
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(delivered, 0);
}

}  // namespace
}  // namespace tessaron::testing
