#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QScrollBar>

#include <cmath>
#include <QTest>
#include <gtest/gtest.h>

#include "services/AcknowledgementsView.hpp"
#include "services/ServiceEndpoints.hpp"
#include "support/DesktopPrograms.hpp"
#include "support/TempDir.hpp"

namespace tessaron::services {
namespace {

namespace fs = std::filesystem;
using testing::DesktopPrograms;
using testing::TempDir;
using testing::writeTextFile;

TEST(Acknowledgements, WindowShowsTheNoticesOfTheResources) {
    std::string shipped = testing::readTextFile(fs::path(TESSARON_TEST_BINARY_DIR) / "bin/Resources/THIRD_PARTY_NOTICES.txt");
    AcknowledgementsView first;
    AcknowledgementsView second;
    EXPECT_EQ(first.noticesView()->toPlainText().toStdString(), shipped);
    // Read once per process: both windows show the one text.
    EXPECT_EQ(&AcknowledgementsView::noticesText(), &AcknowledgementsView::noticesText());
    EXPECT_EQ(second.noticesView()->toPlainText(), first.noticesView()->toPlainText());
    for (const char* project : {"Qt 6", "OpenCV", "FFmpeg", "zlib", "nlohmann-json", "COLMAP", "splat-transform",
                                "Node.js", "xdg-utils", "GoogleTest"})
        EXPECT_NE(shipped.find(project), std::string::npos) << project;
    EXPECT_EQ(first.windowTitle(), "Acknowledgements");
    EXPECT_GE(first.minimumWidth(), 640);
    EXPECT_GE(first.minimumHeight(), 480);
}

// Contrast ratio of two colours, from their relative luminance.
double contrast(const QColor& a, const QColor& b) {
    auto luminance = [](const QColor& c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QStringList warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtDebugMsg && type != QtInfoMsg) warnings << message;
}

// The large title, the readable secondary texts, and the notices' own line
// breaks kept: at the window's smallest size every line shows whole.
TEST(Acknowledgements, TheTitleIsLargeAndTheNoticesKeepTheirLines) {
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    AcknowledgementsView view;
    qInstallMessageHandler(previous);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();

    QLabel* title = nullptr;
    for (QLabel* label : view.findChildren<QLabel*>())
        if (label->text() == "Acknowledgements") title = label;
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(QFontInfo(title->font()).pixelSize(), 2 * QFontInfo(view.font()).pixelSize());
    EXPECT_TRUE(title->font().bold());

    view.resize(view.minimumSize());
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    NoticesTextView* notices = view.noticesView();
    EXPECT_EQ(notices->lineWrapMode(), QPlainTextEdit::NoWrap);
    // As many blocks as the file has lines, none wider than the view.
    EXPECT_EQ(notices->blockCount(), AcknowledgementsView::noticesText().count('\n') + 1);
    EXPECT_EQ(notices->horizontalScrollBar()->maximum(), 0);
    const QPalette colours = notices->palette();
    EXPECT_GE(contrast(colours.color(QPalette::Text), colours.color(QPalette::Base)), 4.5);
    for (QLabel* label : view.findChildren<QLabel*>())
        EXPECT_GE(contrast(label->palette().color(QPalette::WindowText), label->palette().color(QPalette::Window)),
                  4.5)
            << label->text().toStdString();
}

TEST(Acknowledgements, NoticesAreReadOnlyButSelectable) {
    AcknowledgementsView view(QStringLiteral("Licence text"), QUrl("https://tessaron.example/source"));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    NoticesTextView* notices = view.noticesView();
    QTest::mouseClick(notices->viewport(), Qt::LeftButton);
    QTest::keyClicks(notices, "typed");
    QTest::keyClick(notices, Qt::Key_Backspace);
    EXPECT_EQ(notices->toPlainText(), "Licence text");
    QTest::keyClick(notices, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(notices->textCursor().selectedText(), "Licence text");
}

void clickSourceLink(AcknowledgementsView& view) {
    QLabel* link = view.sourceLink();
    EXPECT_EQ(link->text().contains("Source code"), true);
    QPoint onText(link->fontMetrics().horizontalAdvance("Sou"), link->height() / 2);
    QTest::mouseClick(link, Qt::LeftButton, {}, onText);
}

// The message that tells that nothing opened a link, once it is up.
QMessageBox* failureMessage() {
    QMessageBox* box = nullptr;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return (box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) != nullptr; }, 30000));
    return box;
}

TEST(Acknowledgements, SourceCodeLinkOpensTheSourceOfferPage) {
    DesktopPrograms desktop;
    desktop.add("xdg-open", 0);
    AcknowledgementsView view(QStringLiteral("text"), QUrl("https://tessaron.example/source"));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    clickSourceLink(view);
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop.calls("xdg-open").size() == 1; }, 30000));
    EXPECT_EQ(desktop.calls("xdg-open")[0], std::vector<std::string>{"https://tessaron.example/source"});
    // xdg-open took it: once it has ended, nothing was told.
    ASSERT_TRUE(QTest::qWaitFor([] { return QCoreApplication::instance()->findChildren<QProcess*>().isEmpty(); }, 30000));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// Without a browser xdg-open ends with status 3; without xdg-open nothing
// starts. Either way the page's address is shown to be copied.
class SourceCodeLinkWithoutBrowser : public ::testing::TestWithParam<bool> {};

TEST_P(SourceCodeLinkWithoutBrowser, ShowsTheAddress) {
    DesktopPrograms desktop;
    if (GetParam()) desktop.add("xdg-open", 3);
    AcknowledgementsView view(QStringLiteral("text"), QUrl("https://tessaron.example/source"));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    clickSourceLink(view);
    QMessageBox* box = failureMessage();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "No web browser opened the page");
    EXPECT_EQ(box->informativeText(), "https://tessaron.example/source");
    EXPECT_EQ(desktop.calls("xdg-open").size(), GetParam() ? 1u : 0u);
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([] { return QApplication::activeModalWidget() == nullptr; }, 30000));
}

INSTANTIATE_TEST_SUITE_P(XdgOpen, SourceCodeLinkWithoutBrowser, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "FindsNoBrowser" : "IsMissing"; });

TEST(Acknowledgements, MissingOrInvalidNoticesShowTheMissingSentence) {
    TempDir folder;
    const QString missing = "THIRD_PARTY_NOTICES.txt is missing from this copy of Tessaron.";
    EXPECT_EQ(AcknowledgementsView::readNotices(std::nullopt), missing);
    EXPECT_EQ(AcknowledgementsView::readNotices(folder / "absent.txt"), missing);
    writeTextFile(folder / "latin1.txt", "Sch\xf6nberger");
    EXPECT_EQ(AcknowledgementsView::readNotices(folder / "latin1.txt"), missing);
    writeTextFile(folder / "utf8.txt", "Sch\xc3\xb6nberger\n");
    EXPECT_EQ(AcknowledgementsView::readNotices(folder / "utf8.txt"), QString::fromUtf8("Schönberger\n"));
    fs::create_directory(folder / "folder.txt");
    EXPECT_EQ(AcknowledgementsView::readNotices(folder / "folder.txt"), missing);
}

}  // namespace
}  // namespace tessaron::services
