// The executable as a user starts it: without a display it says so in one
// line; with one, SIGTERM and SIGINT go through the quit guard, which lets an
// idle application end normally, and a signal that comes while the start is
// still under way ends it at once. A settings file that is no regular file
// and a run report that cannot be updated are warnings, never reasons not to
// start.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "app/QuitSignals.hpp"
#include "pipeline/RunReport.hpp"
#include "support/Fifo.hpp"
#include "support/TempDir.hpp"

namespace tessaron::testing {
namespace {

QProcessEnvironment privateEnvironment(const TempDir& home, quint16 updatePort = 9) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), QString::fromStdString(home.path().string()));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString((home.path() / "config").string()));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString((home.path() / "data").string()));
    // The launch's update check stays on this machine: port 9 has nobody
    // listening, a test's own port tells it that the check has started.
    environment.insert(QStringLiteral("TESSARON_UPDATE_FEED_URL"),
                       QStringLiteral("https://127.0.0.1:%1/latest.json").arg(updatePort));
    return environment;
}

// The application on the offscreen platform with a private home. Its first
// launch is due for the update check, whose request starts on the event
// loop's first pass: the connection to updateCheck() shows that the start is
// over and the quit guard listens.
class RunningApp {
public:
    explicit RunningApp(const TempDir& home, std::function<void()> childSetUp = {}) {
        EXPECT_TRUE(updateCheck_.listen(QHostAddress::LocalHost, 0));
        QProcessEnvironment environment = privateEnvironment(home, updateCheck_.serverPort());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app_.setProcessEnvironment(environment);
        if (childSetUp) app_.setChildProcessModifier(childSetUp);
        app_.start(QStringLiteral(TESSARON_APP_PATH), {});
    }

    bool reachesItsEventLoop() { return app_.waitForStarted(10000) && updateCheck_.waitForNewConnection(20000); }

    // Sends `signal` and answers how the application ended: "status 0"
    // when it ended by itself with status 0.
    std::string endOn(int signal) {
        ::kill(pid_t(app_.processId()), signal);
        if (!app_.waitForFinished(20000)) return "still running";
        if (app_.exitStatus() != QProcess::NormalExit) return "ended by signal " + std::to_string(app_.exitCode());
        return "status " + std::to_string(app_.exitCode());
    }

    std::string standardError() { return app_.readAllStandardError().toStdString(); }

private:
    QTcpServer updateCheck_;
    QProcess app_;
};

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
    RunningApp app(home);
    ASSERT_TRUE(app.reachesItsEventLoop());
    EXPECT_EQ(app.endOn(GetParam()), "status 0") << app.standardError();
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, QuitSignal, ::testing::Values(SIGTERM, SIGINT));

// Before the event loop runs nobody would read the handler's byte: a start
// stuck on something would ignore the signal for good. Until then the signal
// ends the process as it would without a handler.
TEST(QuitSignalsDeathTest, BeforeTheEventLoopTheSignalEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            app::QuitSignals quitSignals;
            ::raise(SIGTERM);
            std::_Exit(0);  // reached only when the signal was swallowed
        },
        ::testing::KilledBySignal(SIGTERM), "");
}

struct SettingsFileKind {
    const char* name;
    std::function<void(const std::filesystem::path& file)> make;
    const char* told;
    bool (*stillThere)(const std::filesystem::path& file);
};

void PrintTo(const SettingsFileKind& kind, std::ostream* out) { *out << kind.name; }

class UnusableSettingsFile : public ::testing::TestWithParam<SettingsFileKind> {};

// A FIFO as Tessaron.conf used to block the start before the window (and
// SIGTERM with it); a link to a device had the node replaced by the first
// setting written. Now the file is left as it is and the start goes on.
TEST_P(UnusableSettingsFile, IsLeftAloneAndTheApplicationStartsOnDefaults) {
    TempDir home("tessaron-app-home");
    const std::filesystem::path file = home / "config/Tessaron/Tessaron.conf";
    std::filesystem::create_directories(file.parent_path());
    GetParam().make(file);
    {
        RunningApp app(home);
        ASSERT_TRUE(app.reachesItsEventLoop()) << app.standardError();
        EXPECT_EQ(app.endOn(SIGTERM), "status 0");
        const std::string error = app.standardError();
        EXPECT_NE(error.find("Tessaron: The settings file " + file.string() + " " + GetParam().told +
                             ". Tessaron starts with its default settings"),
                  std::string::npos)
            << error;
    }
    EXPECT_TRUE(GetParam().stillThere(file));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, UnusableSettingsFile,
    ::testing::Values(
        SettingsFileKind{"Fifo", [](const std::filesystem::path& file) { makeFifo(file); },
                         "is a FIFO, not a regular file",
                         [](const std::filesystem::path& file) {
                             return std::filesystem::is_fifo(std::filesystem::symlink_status(file));
                         }},
        SettingsFileKind{"LinkToACharacterDevice",
                         [](const std::filesystem::path& file) {
                             // A null device of its own where allowed (root), so that a
                             // start that wrote through the link could not replace
                             // /dev/null; elsewhere /dev/null itself, which only root
                             // could replace.
                             std::filesystem::path device = file.parent_path() / "null-device";
                             if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) device = "/dev/null";
                             std::filesystem::create_symlink(device, file);
                         },
                         "is a character device, not a regular file",
                         [](const std::filesystem::path& file) {
                             return std::filesystem::is_symlink(file) && std::filesystem::is_character_file(file) &&
                                    std::filesystem::is_character_file("/dev/null");
                         }}),
    [](const auto& info) { return std::string(info.param.name); });

// The last run was left "running", the Logs folder takes no write (here a
// file size limit of 0, which holds for root too) and the settings folder is
// a file: the report cannot be marked interrupted, nor the launch remember
// it. A warning, and the application starts.
TEST(RunReportThatCannotBeUpdated, IsAWarningAndTheApplicationStarts) {
    TempDir home("tessaron-app-home");
    pipeline::RunReport report;
    report.kind = "New run";
    report.startedAt = core::Clock::now();
    report.input = "Photo folder";
    report.step = "Training";
    pipeline::RunReport::save(report, home / "data/Tessaron/Logs");
    writeTextFile(home / "config/Tessaron", "not a folder");
    RunningApp app(home, [] {
        // In the child before exec: only async-signal-safe calls.
        struct rlimit none {};
        ::setrlimit(RLIMIT_FSIZE, &none);
        ::signal(SIGXFSZ, SIG_IGN);  // a refused write fails instead of ending the process
    });
    ASSERT_TRUE(app.reachesItsEventLoop()) << app.standardError();
    EXPECT_EQ(app.endOn(SIGTERM), "status 0");
    const std::string error = app.standardError();
    EXPECT_NE(error.find("Tessaron: Could not save the run report " +
                         (home / "data/Tessaron/Logs/last_run.json").string()),
              std::string::npos)
        << error;
}

}  // namespace
}  // namespace tessaron::testing
