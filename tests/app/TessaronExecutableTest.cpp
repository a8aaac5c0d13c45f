// The executable as a user starts it: without a display it says so in one
// line; with one, SIGTERM and SIGINT go through the quit guard, which lets an
// idle application end normally.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <csignal>
#include <fstream>
#include <string>

#include "support/TempDir.hpp"

namespace tessaron::testing {
namespace {

QProcessEnvironment privateEnvironment(const TempDir& home) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), QString::fromStdString(home.path().string()));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString((home.path() / "config").string()));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString((home.path() / "data").string()));
    // The launch's update check stays on this machine: nothing listens there.
    environment.insert(QStringLiteral("TESSARON_UPDATE_FEED_URL"), QStringLiteral("https://127.0.0.1:9/latest.json"));
    return environment;
}

// Whether the process has a handler for `signal`: its SigCgt mask in /proc.
bool catches(qint64 pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    return false;
}

TEST(TessaronExecutable, WithoutADisplayItSaysSoInOneLineAndFails) {
    TempDir home("tessaron-app-home");
    QProcess app;
    app.setProcessEnvironment(privateEnvironment(home));
    app.start(QStringLiteral(TESSARON_APP_PATH), {});
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_NE(app.exitCode(), 0);
    const QString error = QString::fromUtf8(app.readAllStandardError());
    EXPECT_EQ(error.count(QLatin1Char('\n')), 1) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("display"))) << error.toStdString();
    EXPECT_TRUE(app.readAllStandardOutput().isEmpty());
}

class QuitSignal : public ::testing::TestWithParam<int> {};

TEST_P(QuitSignal, EndsAnIdleApplicationNormally) {
    TempDir home("tessaron-app-home");
    QProcessEnvironment environment = privateEnvironment(home);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess app;
    app.setProcessEnvironment(environment);
    app.start(QStringLiteral(TESSARON_APP_PATH), {});
    ASSERT_TRUE(app.waitForStarted(10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return catches(app.processId(), GetParam()); }, 10000));
    ::kill(pid_t(app.processId()), GetParam());
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0) << app.readAllStandardError().toStdString();
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, QuitSignal, ::testing::Values(SIGTERM, SIGINT));

}  // namespace
}  // namespace tessaron::testing
