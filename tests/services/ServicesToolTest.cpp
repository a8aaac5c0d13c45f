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
    EXPECT_EQ(moved.status, 1);
    EXPECT_TRUE(moved.output.contains("Update check failed: the update server answered with status 301"))
        << moved.output.toStdString();

    server.respond({200, "OK", {}, QStringLiteral(R"({"version": "1", "build": %1, "url": "https://127.0.0.1/t",
        "sha256": "00"})").arg(newer - 1).toUtf8()});
    ToolRun same = runTool(arguments);
    EXPECT_EQ(same.status, 3);
    EXPECT_TRUE(same.output.contains("No update found: build")) << same.output.toStdString();
    EXPECT_EQ(server.requests().size(), 3);
}

// An escape sequence in the feed (here: clear the screen, retitle the
// window, and the one-character CSI) is printed as text, never sent raw.
TEST(ServicesTool, UpdateCheckPrintsTheFeedsControlCharactersEscaped) {
    LocalHttpsServer server;
    if (!server.isListening()) GTEST_SKIP() << "openssl could not make the test certificate";
    qint64 newer = UpdateModel::parsedBuild(UpdateModel::currentBuild()) + 1;
    server.respond({200, "OK", {}, QStringLiteral(R"({"version": "9\u001b[2J\u001b]0;owned\u0007", "build": %1,
        "url": "https://127.0.0.1/t.tar.gz", "sha256": "\u009b2J", "min_os": "1\r"})").arg(newer).toUtf8()});
    ToolRun run = runTool({"update-check", server.url("/latest.json"), "--allow-host", "127.0.0.1", "--ca-file",
                           QString::fromStdString(server.certificateFile().string())});
    EXPECT_EQ(run.status, 3) << run.output.toStdString();  // "1\r" is no version number
    EXPECT_TRUE(run.output.contains("No update found: this system is older than the release's minimum 1\\x0d\n"))
        << run.output.toStdString();

    server.respond({200, "OK", {}, QStringLiteral(R"({"version": "9\u001b[2J\u001b]0;owned\u0007", "build": %1,
        "url": "https://127.0.0.1/t.tar.gz", "sha256": "\u009b2J"})").arg(newer).toUtf8()});
    run = runTool({"update-check", server.url("/latest.json"), "--allow-host", "127.0.0.1", "--ca-file",
                   QString::fromStdString(server.certificateFile().string())});
    EXPECT_EQ(run.status, 0) << run.output.toStdString();
    EXPECT_TRUE(run.output.contains(QStringLiteral("Tessaron 9\\x1b[2J\\x1b]0;owned\\x07 (build %1) is available\n").arg(newer)))
        << run.output.toStdString();
    EXPECT_TRUE(run.output.contains("sha256: \\u009b2J\n")) << run.output.toStdString();
    for (QChar character : run.output)
        EXPECT_FALSE(character.category() == QChar::Other_Control && character != u'\n') << int(character.unicode());
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
