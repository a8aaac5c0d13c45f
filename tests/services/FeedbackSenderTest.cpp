#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>
#include <gtest/gtest.h>

#include <fstream>

#include "core/ResourceLocator.hpp"
#include "services/FeedbackFallbackDialog.hpp"
#include "services/FeedbackSender.hpp"
#include "support/DesktopPrograms.hpp"
#include "support/Fifo.hpp"
#include "support/TempDir.hpp"

namespace tessaron::services {
namespace {

namespace fs = std::filesystem;
using testing::DesktopPrograms;
using testing::readTextFile;
using testing::TempDir;
using testing::writeTextFile;

// An environment variable set for one test and put back afterwards.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string numberedLines(int first, int last) {
    std::string text;
    for (int index = first; index <= last; ++index) text += "log line " + std::to_string(index) + "\n";
    return text;
}

std::string tailOf(const std::string& text, size_t bytes) {
    return text.size() <= bytes ? text : text.substr(text.size() - bytes);
}

pipeline::RunReport sampleRun() {
    pipeline::RunReport run;
    run.kind = "New run";
    run.startedAt = core::Clock::from_time_t(1'780'000'000);
    run.input = "/home/ana/captures/garden";
    run.settings = {{"Model size", "1,000,000"}, {"Eval", "Off"}};
    run.step = "Training";
    run.outcome = pipeline::RunReport::Outcome::failed;
    run.error = "trevik exited with status 1";
    run.endedAt = run.startedAt + std::chrono::minutes(12);
    return run;
}

DiagnosticsInfo sampleInfo() {
    DiagnosticsInfo info;
    info.appVersion = "0.1.0";
    info.build = "7";
    info.operatingSystem = "Debian GNU/Linux 12 (bookworm)";
    info.model = "ThinkPad X1";
    info.chip = "AMD Ryzen 7 PRO 5850U";
    info.memoryGB = 16;
    return info;
}

class Feedback : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(logFolder);
        fs::create_directories(temporary);
        endpoints = ServiceEndpoints::distribution();
        endpoints.supportAddress = "help@tessaron.example";
    }
    void TearDown() override {
        for (FeedbackSender* sender : FeedbackSender::liveSenders()) delete sender;
        FeedbackSender::liveSenders().clear();
        while (QWidget* modal = QApplication::activeModalWidget()) delete modal;
        FeedbackSender::removeTemporaryLogCopies();
    }

    FeedbackSender* liveSender(std::optional<QString> context = std::nullopt) {
        auto* sender = new FeedbackSender(std::move(context), logFolder, endpoints);
        FeedbackSender::liveSenders().insert(sender);
        return sender;
    }

    // A fake mail program first on PATH that records its arguments.
    void installMailProgram(int exitCode) {
        writeTextFile(bin / "xdg-email", "#!/bin/sh\nfor argument in \"$@\"; do printf '%s\\0' \"$argument\"; done > '" +
                                             (root / "mail-arguments").string() + "'\nexit " +
                                             std::to_string(exitCode) + "\n");
        fs::permissions(bin / "xdg-email", fs::perms::owner_all);
    }
    std::vector<std::string> mailArguments() const {
        std::string recorded = readTextFile(root / "mail-arguments");
        std::vector<std::string> arguments;
        for (size_t start = 0, end; (end = recorded.find('\0', start)) != std::string::npos; start = end + 1)
            arguments.push_back(recorded.substr(start, end - start));
        return arguments;
    }

    static FeedbackFallbackDialog* fallbackDialog() {
        FeedbackFallbackDialog* dialog = nullptr;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return (dialog = qobject_cast<FeedbackFallbackDialog*>(QApplication::activeModalWidget())); },
            10000));
        return dialog;
    }

    TempDir root{"tessaron-feedback"};
    fs::path logFolder = root / "Tessaron/Logs";
    fs::path bin = root / "bin";
    fs::path temporary = root / "tmp";
    ScopedVariable temporaryFolder{"TMPDIR", temporary.string()};
    ScopedVariable path{"PATH", (root / "bin").string() + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "")};
    ServiceEndpoints endpoints;
};

TEST_F(Feedback, MailProgramGetsSubjectBodyAndTheLogsTail) {
    std::string log = numberedLines(1, 400000);  // about 6.5 MB
    ASSERT_GT(log.size(), size_t(FeedbackSender::attachmentByteLimit));
    writeTextFile(logFolder / "current_run.md", log);
    writeTextFile(logFolder / "previous_run.md", "older run\n");
    writeTextFile(logFolder / "last_run.json", sampleRun().encode());
    installMailProgram(0);

    FeedbackSender* sender = liveSender(QString("Tessaron stopped with an error: trevik exited with status 1"));
    QSignalSpy finished(sender, &FeedbackSender::finished);
    sender->send();
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_FALSE(FeedbackSender::liveSenders().contains(sender));

    std::vector<std::string> arguments = mailArguments();
    ASSERT_EQ(arguments.size(), 8u);
    EXPECT_EQ(arguments[0], "--utf8");
    EXPECT_EQ(arguments[1], "--subject");
    EXPECT_EQ(arguments[2], "Tessaron " + sender->info().appVersion.toStdString() + " (" +
                                sender->info().build.toStdString() + ") feedback");
    EXPECT_EQ(arguments[3], "--body");
    const std::string& body = arguments[4];
    EXPECT_TRUE(body.starts_with("Tessaron stopped with an error: trevik exited with status 1\n\n"
                                 "What happened, and what did you expect?\n\n\n\n"));
    EXPECT_NE(body.find("— Last run —\n" + sampleRun().summary() + "\n\n"), std::string::npos);
    std::string lastLines = numberedLines(399981, 400000);
    lastLines.pop_back();
    EXPECT_NE(body.find("— Last log lines —\n" + lastLines + "\n\n—\n"), std::string::npos);
    EXPECT_NE(body.find("(its last 5 MB) is attached"), std::string::npos);
    EXPECT_EQ(arguments[5], "--attach");
    fs::path attachment = arguments[6];
    EXPECT_EQ(attachment.filename(), "current_run.md");
    EXPECT_TRUE(QRegularExpression("^Tessaron-log-[0-9A-F]{6}$")
                    .match(QString::fromStdString(attachment.parent_path().filename().string()))
                    .hasMatch());
    EXPECT_EQ(attachment.parent_path().parent_path(), temporary);
    EXPECT_EQ(readTextFile(attachment), tailOf(log, FeedbackSender::attachmentByteLimit));
    EXPECT_EQ(arguments[7], "help@tessaron.example");

    // The copy stays for the mail program until the application quits.
    EXPECT_TRUE(fs::exists(attachment));
    FeedbackSender::removeTemporaryLogCopies();
    EXPECT_FALSE(fs::exists(attachment.parent_path()));
}

struct MailFailure {
    int exitStatus;
    const char* reason;
};

class FailingMailProgram : public Feedback, public ::testing::WithParamInterface<MailFailure> {};

// xdg-email ends with 3 when it finds no mail program to hand the message to.
TEST_P(FailingMailProgram, ShowsTheFallbackWithItsReason) {
    writeTextFile(logFolder / "current_run.md", "one line\n");
    installMailProgram(GetParam().exitStatus);
    FeedbackSender* sender = liveSender();
    sender->send();
    FeedbackFallbackDialog* dialog = fallbackDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->informativeText().startsWith(QString::fromUtf8(GetParam().reason) + " "))
        << dialog->informativeText().toStdString();
    EXPECT_TRUE(FeedbackSender::liveSenders().contains(sender));
    QSignalSpy finished(sender, &FeedbackSender::finished);
    QTest::mouseClick(dialog->button("Done"), Qt::LeftButton);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_FALSE(FeedbackSender::liveSenders().contains(sender));
}

INSTANTIATE_TEST_SUITE_P(Statuses, FailingMailProgram,
                         ::testing::Values(MailFailure{3, "Mail isn't set up on this computer."},
                                           MailFailure{4, "Mail couldn't open the message."}),
                         [](const auto& info) { return "ExitStatus" + std::to_string(info.param.exitStatus); });

TEST_F(Feedback, WithoutMailProgramTheFallbackOffersTheDetails) {
    DesktopPrograms desktop;  // no xdg-email
    desktop.add("xdg-open", 0);
    std::string log = numberedLines(1, 30);
    writeTextFile(logFolder / "current_run.md", log);

    FeedbackSender* sender = liveSender(QString("Tessaron closed unexpectedly during the last run (at Training)."));
    sender->send();
    FeedbackFallbackDialog* dialog = fallbackDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->messageText(), "Send feedback to help@tessaron.example");
    EXPECT_EQ(dialog->informativeText(),
              "Mail isn't set up on this computer. Copy the details into a message from your own mail service, and "
              "attach the run log (Reveal Log shows it).");
    QStringList texts;
    for (QPushButton* button : dialog->buttons()) texts << button->text();
    EXPECT_EQ(texts, (QStringList{"Copy Details", "Open Mail Link", "Reveal Log", "Done"}));

    EXPECT_EQ(dialog->copiedNote(), QString());
    QTest::mouseClick(dialog->button("Copy Details"), Qt::LeftButton);
    EXPECT_TRUE(dialog->isVisible());
    // The copy says so.
    EXPECT_EQ(dialog->copiedNote(), "The details are on the clipboard.");
    QString copied = QGuiApplication::clipboard()->text();
    EXPECT_TRUE(copied.startsWith(QString("To: help@tessaron.example\nSubject: ") + sender->info().mailSubject() +
                                  "\n\nTessaron closed unexpectedly during the last run (at Training).\n\n"));
    EXPECT_TRUE(copied.contains("— Last log lines —\nlog line 11\n"));
    EXPECT_TRUE(copied.contains("(its last 5 MB) is attached"));

    QTest::mouseClick(dialog->button("Reveal Log"), Qt::LeftButton);
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_TRUE(sender->attachment().has_value());
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop.calls("xdg-open").size() == 1; }, 30000));
    EXPECT_EQ(desktop.calls("xdg-open")[0], std::vector<std::string>{sender->attachment()->parent_path().string()});

    QSignalSpy finished(sender, &FeedbackSender::finished);
    QTest::mouseClick(dialog->button("Open Mail Link"), Qt::LeftButton);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_FALSE(FeedbackSender::liveSenders().contains(sender));
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop.calls("xdg-open").size() == 2; }, 30000));
    ASSERT_EQ(desktop.calls("xdg-open")[1].size(), 1u);
    QUrl mail = QUrl::fromEncoded(QByteArray::fromStdString(desktop.calls("xdg-open")[1][0]), QUrl::StrictMode);
    EXPECT_EQ(mail.scheme(), "mailto");
    EXPECT_EQ(mail.path(), "help@tessaron.example");
    QString body = QUrlQuery(mail).queryItemValue("body", QUrl::FullyDecoded);
    EXPECT_TRUE(body.startsWith("Tessaron closed unexpectedly"));
    EXPECT_FALSE(body.contains("is attached"));  // a link carries no attachment
}

// No file manager takes the folder: its path is shown over the dialog,
// which stays open.
TEST_F(Feedback, RevealLogWithoutFileManagerShowsTheFolder) {
    DesktopPrograms desktop;
    desktop.add("xdg-open", 3);
    writeTextFile(logFolder / "current_run.md", "line\n");
    FeedbackSender* sender = liveSender();
    sender->send();
    FeedbackFallbackDialog* dialog = fallbackDialog();
    ASSERT_NE(dialog, nullptr);
    QTest::mouseClick(dialog->button("Reveal Log"), Qt::LeftButton);
    QMessageBox* message = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (message = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) != nullptr; }, 30000));
    EXPECT_EQ(message->text(), "No file manager opened the folder");
    ASSERT_TRUE(sender->attachment().has_value());
    EXPECT_EQ(message->informativeText(), QString::fromStdString(sender->attachment()->parent_path().string()));
    QTest::keyClick(message, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeModalWidget() == dialog; }, 30000));
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(FeedbackSender::liveSenders().contains(sender));
}

// Nothing opens mail links: the dialog has closed, and a message names the
// address to write to instead of leaving the user with nothing.
TEST_F(Feedback, OpenMailLinkWithoutMailProgramSaysSo) {
    DesktopPrograms desktop;
    desktop.add("xdg-open", 3);
    FeedbackSender* sender = liveSender(QString("Sparse reconstruction failed (exit 1)"));
    sender->send();
    FeedbackFallbackDialog* dialog = fallbackDialog();
    ASSERT_NE(dialog, nullptr);
    QPointer<FeedbackFallbackDialog> open(dialog);
    QTest::mouseClick(dialog->button("Open Mail Link"), Qt::LeftButton);
    QMessageBox* message = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (message = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) != nullptr; }, 30000));
    EXPECT_EQ(message->text(), "No mail program opened the mail link");
    EXPECT_EQ(message->informativeText(), "help@tessaron.example");
    ASSERT_EQ(desktop.calls("xdg-open").size(), 1u);
    EXPECT_TRUE(QString::fromStdString(desktop.calls("xdg-open")[0].at(0)).startsWith("mailto:help@tessaron.example?"));
    EXPECT_TRUE(!open || !open->isVisible());
    EXPECT_FALSE(FeedbackSender::liveSenders().contains(sender));
    QTest::keyClick(message, Qt::Key_Return);
}

TEST_F(Feedback, FallbackWithoutLogHasNoRevealButton) {
    ScopedVariable onlyEmptyFolder("PATH", bin.string());
    FeedbackSender* sender = liveSender();
    EXPECT_FALSE(sender->log().has_value());
    EXPECT_FALSE(sender->run().has_value());
    sender->send();
    FeedbackFallbackDialog* dialog = fallbackDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->informativeText(),
              "Mail isn't set up on this computer. Copy the details into a message from your own mail service.");
    EXPECT_EQ(dialog->button("Reveal Log"), nullptr);
    QTest::keyClick(dialog, Qt::Key_Escape);
    EXPECT_FALSE(FeedbackSender::liveSenders().contains(sender));
}

TEST_F(Feedback, UncopyableLogShowsTheAttachmentFallback) {
    writeTextFile(logFolder / "current_run.md", "line\n");
    // A temporary "folder" that is a file: no copy can be made in it.
    writeTextFile(root / "not-a-folder", "");
    ScopedVariable unusableTemporary("TMPDIR", (root / "not-a-folder").string());
    installMailProgram(0);
    FeedbackSender* sender = liveSender();
    sender->send();
    FeedbackFallbackDialog* dialog = fallbackDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->informativeText().startsWith("The run log couldn't be attached automatically. "));
    EXPECT_TRUE(dialog->informativeText().endsWith("(Reveal Log shows it)."));
    EXPECT_FALSE(fs::exists(root / "mail-arguments"));
}

TEST_F(Feedback, RunLogIsTheFirstNonEmptyOne) {
    EXPECT_FALSE(FeedbackSender::findRunLog(logFolder).has_value());
    writeTextFile(logFolder / "current_run.md", "");
    writeTextFile(logFolder / "previous_run.md", "x");
    EXPECT_EQ(FeedbackSender::findRunLog(logFolder), logFolder / "previous_run.md");
    writeTextFile(logFolder / "current_run.md", "y");
    EXPECT_EQ(FeedbackSender::findRunLog(logFolder), logFolder / "current_run.md");
    fs::remove(logFolder / "current_run.md");
    fs::create_directory(logFolder / "current_run.md");  // not a file
    EXPECT_EQ(FeedbackSender::findRunLog(logFolder), logFolder / "previous_run.md");
}

TEST_F(Feedback, InvalidRunReportIsNoReport) {
    writeTextFile(logFolder / "last_run.json", "{\"kind\": \"New run\"}");
    EXPECT_FALSE(FeedbackSender(std::nullopt, logFolder, endpoints).run().has_value());
    writeTextFile(logFolder / "last_run.json", sampleRun().encode());
    EXPECT_EQ(FeedbackSender(std::nullopt, logFolder, endpoints).run(), sampleRun());
}

// A run report is a few kilobytes of JSON: one padded past a megabyte, a
// FIFO (which would hold "Send Feedback…" for good) and /dev/zero (which
// would fill the memory) are left out, and the mail says why.
TEST_F(Feedback, RunReportThatIsNoRegularFileOrTooLargeIsLeftOutWithANote) {
    const fs::path report = logFolder / "last_run.json";
    writeTextFile(report, sampleRun().encode() + std::string(FeedbackSender::runReportByteLimit, ' '));
    FeedbackSender padded(std::nullopt, logFolder, endpoints);
    EXPECT_FALSE(padded.run().has_value());
    ASSERT_TRUE(padded.runNote().has_value());
    EXPECT_TRUE(padded.runNote()->startsWith(QString::fromStdString("Could not read " + report.string() + ": it holds ")))
        << padded.runNote()->toStdString();
    EXPECT_TRUE(padded.detailsText(false).contains("— Last run —\n" + *padded.runNote() + "\n\n—\n"))
        << padded.detailsText(false).toStdString();

    fs::remove(report);
    testing::makeFifo(report);
    std::optional<QString> fifoNote;
    ASSERT_TRUE(testing::returnsWithin(report, [&] { fifoNote = FeedbackSender(std::nullopt, logFolder, endpoints).runNote(); }));
    ASSERT_TRUE(fifoNote.has_value());
    EXPECT_EQ(*fifoNote, QString::fromStdString("Could not read " + report.string() + ": is a FIFO, not a regular file."));

    fs::remove(report);
    fs::create_symlink("/dev/zero", report);
    FeedbackSender endless(std::nullopt, logFolder, endpoints);
    EXPECT_FALSE(endless.run().has_value());
    EXPECT_EQ(endless.runNote(),
              QString::fromStdString("Could not read " + report.string() + ": is a character device, not a regular file."));

    // No file is no report, and nothing to explain.
    fs::remove(report);
    EXPECT_FALSE(FeedbackSender(std::nullopt, logFolder, endpoints).runNote().has_value());
}

TEST_F(Feedback, DefaultLogFolderFollowsXdgDataHome) {
    ScopedVariable dataHome("XDG_DATA_HOME", root.path().string());
    EXPECT_EQ(FeedbackSender::defaultLogFolder(), logFolder);
}

struct LogTail {
    const char* name;
    std::string log;
    std::optional<QString> lines;
};

void PrintTo(const LogTail& tail, std::ostream* out) { *out << tail.name; }

class LastLogLines : public Feedback, public ::testing::WithParamInterface<LogTail> {};

TEST_P(LastLogLines, KeepTheLastTwentyNonEmptyLines) {
    writeTextFile(logFolder / "current_run.md", GetParam().log);
    EXPECT_EQ(FeedbackSender::lastLogLines(logFolder / "current_run.md", 20), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, LastLogLines,
    ::testing::Values(LogTail{"FewLines", "a\n\nb\nc", QString("a\nb\nc")},
                      LogTail{"OnlyLineFeeds", std::string(100, '\n'), std::nullopt},
                      LogTail{"Empty", "", std::nullopt},
                      LogTail{"ManyLines", numberedLines(1, 50), QString::fromStdString(numberedLines(31, 50)).chopped(1)},
                      // 40,000 bytes of one line: only its last 32,768 bytes are read.
                      LogTail{"CutOffFirstLine", std::string(40000, 'x') + "\nend\n",
                              QString(32768 - 5, 'x') + "\nend"},
                      LogTail{"InvalidBytesReplaced", "ok\n\xff\xfe\n", QString("ok\n") + QChar(0xFFFD) + QChar(0xFFFD)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Feedback, LogTailCopyHoldsTheLastBytesUnderTheSameName) {
    std::string log;
    log.reserve(10 * 1024 * 1024);
    for (int index = 0; log.size() < 10 * 1024 * 1024; ++index) log += char('a' + index % 26);
    writeTextFile(logFolder / "previous_run.md", log);
    auto copy = FeedbackSender::copyLogTail(logFolder / "previous_run.md", FeedbackSender::attachmentByteLimit);
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(copy->filename(), "previous_run.md");
    EXPECT_EQ(fs::file_size(*copy), uintmax_t(FeedbackSender::attachmentByteLimit));
    EXPECT_EQ(readTextFile(*copy), tailOf(log, FeedbackSender::attachmentByteLimit));

    writeTextFile(logFolder / "current_run.md", "short");
    auto small = FeedbackSender::copyLogTail(logFolder / "current_run.md", FeedbackSender::attachmentByteLimit);
    ASSERT_TRUE(small.has_value());
    EXPECT_NE(small->parent_path(), copy->parent_path());
    EXPECT_EQ(readTextFile(*small), "short");
    EXPECT_FALSE(FeedbackSender::copyLogTail(logFolder / "missing.md", 10).has_value());
}

TEST(FeedbackBody, WithoutRunOrLogHasOnlyTheQuestionDiagnosticsAndCrashHint) {
    EXPECT_EQ(FeedbackSender::composeBody(sampleInfo(), false, std::nullopt, std::nullopt, std::nullopt),
              "What happened, and what did you expect?\n"
              "\n\n\n"
              "—\n"
              "Tessaron 0.1.0 (7) · OS Debian GNU/Linux 12 (bookworm) · ThinkPad X1 · AMD Ryzen 7 PRO 5850U · 16 GB\n"
              "If Tessaron crashed: open a terminal right after the crash, run \"coredumpctl info\" and paste what it "
              "prints into this mail.");
}

TEST(FeedbackBody, EverySectionInOrder) {
    QString body = FeedbackSender::composeBody(sampleInfo(), true, QString("Context line"), sampleRun(),
                                               QString("line 1\nline 2"));
    EXPECT_EQ(body,
              "Context line\n"
              "\n"
              "What happened, and what did you expect?\n"
              "\n\n\n"
              "Tessaron added the details below (settings, the step reached, any error, the last log lines). They can "
              "contain folder paths on your computer — delete anything you'd rather not send.\n"
              "\n"
              "— Last run —\n" +
                  QString::fromStdString(sampleRun().summary()) +
                  "\n"
                  "\n"
                  "— Last log lines —\n"
                  "line 1\nline 2\n"
                  "\n"
                  "—\n"
                  "Tessaron 0.1.0 (7) · OS Debian GNU/Linux 12 (bookworm) · ThinkPad X1 · AMD Ryzen 7 PRO 5850U · 16 GB\n"
                  "The log of the last run (its last 5 MB) is attached. It lists folder paths on your computer — remove "
                  "it if you'd rather not send them.\n"
                  "If Tessaron crashed: open a terminal right after the crash, run \"coredumpctl info\" and paste what "
                  "it prints into this mail.");
}

TEST(FeedbackBody, MailtoLinkKeepsQueryDelimitersEncoded) {
    ServiceEndpoints endpoints = ServiceEndpoints::distribution();
    endpoints.supportAddress = "help@tessaron.example";
    FeedbackSender sender(std::nullopt, std::nullopt, endpoints);
    QString body = "a&b=c+d?e — f\n#g%h";
    auto url = sender.mailtoURL(body);
    ASSERT_TRUE(url.has_value());
    QByteArray encoded = url->toEncoded();
    EXPECT_TRUE(encoded.startsWith("mailto:help@tessaron.example?subject=Tessaron%20")) << encoded.toStdString();
    EXPECT_TRUE(encoded.endsWith("&body=a%26b%3Dc%2Bd%3Fe%20%E2%80%94%20f%0A%23g%25h")) << encoded.toStdString();
    QUrlQuery query(*url);
    EXPECT_EQ(query.queryItemValue("body", QUrl::FullyDecoded), body);
    EXPECT_EQ(query.queryItemValue("subject", QUrl::FullyDecoded), sender.info().mailSubject());

    endpoints.supportAddress.clear();
    EXPECT_FALSE(FeedbackSender(std::nullopt, std::nullopt, endpoints).mailtoURL(body).has_value());
}

TEST(FeedbackBody, DiagnosticsOfThisComputer) {
    DiagnosticsInfo info = DiagnosticsInfo::current();
    EXPECT_FALSE(info.appVersion.isEmpty());
    EXPECT_EQ(info.build, QString::fromStdString(core::ResourceLocator::build()));
    EXPECT_GT(info.memoryGB, 0);
    EXPECT_FALSE(info.operatingSystem.isEmpty());
    EXPECT_TRUE(QRegularExpression("^Tessaron .+ \\(.+\\) · OS .+ · .+ · .+ · [0-9]+ GB$").match(info.line()).hasMatch())
        << info.line().toStdString();
    EXPECT_EQ(info.mailSubject(), "Tessaron " + info.appVersion + " (" + info.build + ") feedback");
}

}  // namespace
}  // namespace tessaron::services
