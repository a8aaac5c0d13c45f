#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "LocalHttpsServer.hpp"
#include "services/UpdateModel.hpp"
#include "support/TempDir.hpp"

namespace tessaron::services {
namespace {

using testing::LocalHttpsServer;

struct ToolRun {
    int status = -1;
    QString output;
};

// Runs the harness without blocking, so that the server in this thread answers.
ToolRun runTool(const QStringList& arguments) {
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("TESSARON_UPDATE_FEED_URL");
    tool.setProcessEnvironment(environment);
    tool.start(TESSARON_TOOL_PATH, arguments);
    EXPECT_TRUE(QTest::qWaitFor([&] { return tool.state() == QProcess::NotRunning; }, 60000));
    return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1, QString::fromUtf8(tool.readAll())};
}

TEST(ServicesTool, UpdateCheckAgainstAGivenFeed) {
    LocalHttpsServer server;
    if (!server.isListening()) GTEST_SKIP() << "openssl could not make the test certificate";
    qint64 newer = UpdateModel::parsedBuild(UpdateModel::currentBuild()) + 1;
    server.respond({200, "OK", {}, QStringLiteral(R"({"version": "9.1", "build": %1,
        "url": "https://127.0.0.1/t.tar.gz", "sha256": "00ff", "min_os": "1"})").arg(newer).toUtf8()});
    QStringList arguments{"update-check", server.url("/latest.json"), "--allow-host", "127.0.0.1", "--ca-file",
                          QString::fromStdString(server.certificateFile().string())};
    ToolRun found = runTool(arguments);
    EXPECT_EQ(found.status, 0) << found.output.toStdString();
    EXPECT_TRUE(found.output.contains(QStringLiteral("Tessaron 9.1 (build %1) is available\n").arg(newer)));
    EXPECT_TRUE(found.output.contains("url: https://127.0.0.1/t.tar.gz\n"));

    server.respond({301, "Moved", {{"Location", "/elsewhere.json"}}, {}});
    ToolRun moved = runTool(arguments);
    EXPECT_EQ(moved.status, 3);
    EXPECT_TRUE(moved.output.contains("No update found: the feed answered with status 301")) << moved.output.toStdString();
    EXPECT_EQ(server.requests().size(), 2);
}

TEST(ServicesTool, DiagnosticsPrintTheMailDetails) {
    testing::TempDir folder;
    testing::writeTextFile(folder / "current_run.md", "first\nlast line\n");
    ToolRun run = runTool({"diagnostics", "--context", "Why I write", "--log-folder",
                           QString::fromStdString(folder.path().string())});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.output.startsWith("To: ")) << run.output.toStdString();
    EXPECT_TRUE(run.output.contains(") feedback\n\nWhy I write\n\nWhat happened, and what did you expect?\n"));
    EXPECT_TRUE(run.output.contains("— Last log lines —\nfirst\nlast line\n"));
    EXPECT_TRUE(run.output.contains("(its last 5 MB) is attached"));
}

}  // namespace
}  // namespace tessaron::services
