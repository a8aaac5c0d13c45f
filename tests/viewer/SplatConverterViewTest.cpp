// The converter window driven as a user would: drops, clicks on the drop
// zone, the picker, Convert, Cancel and the rows' remove buttons.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include "ConverterTestSupport.hpp"
#include "viewer/ConverterModel.hpp"
#include "viewer/DropZone.hpp"
#include "viewer/ElidedLabel.hpp"
#include "viewer/SplatConverterView.hpp"

namespace fs = std::filesystem;
using namespace tessaron::viewer;
namespace engines = tessaron::engines;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;
using tessaron::viewer::testing::ScriptedConverter;
using tessaron::viewer::testing::waitFor;
using Kind = ConverterModel::Item::State::Kind;

namespace {

class SplatConverterViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(output_);
        makeView(nullptr);
    }

    void makeView(std::shared_ptr<engines::SplatConverterRunner> runner) {
        view_.reset();
        auto model = ConverterModel::create(std::nullopt, std::move(runner));
        model->setOutputFolderChooser([this](const fs::path&) { return output_; });
        view_ = std::make_unique<SplatConverterView>(model);
        view_->resize(460, 300);
        view_->show();
    }

    ConverterModel& model() { return *view_->model(); }

    template <typename Widget = QWidget>
    Widget* child(const char* name) {
        auto* found = view_->findChild<Widget*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QList<QWidget*> rows() { return view_->findChildren<QWidget*>("queueRow"); }

    fs::path file(const std::string& name) {
        writeTextFile(folder_ / name, "x");
        return folder_ / name;
    }

    // A drag that enters the drop zone and is dropped there.
    void drop(const std::vector<fs::path>& files) {
        QMimeData data;
        QList<QUrl> urls;
        for (const auto& path : files) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path.string())));
        data.setUrls(urls);
        DropZone& zone = view_->dropZone();
        QPoint centre = zone.rect().center();
        QDragEnterEvent enter(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&zone, &enter);
        EXPECT_TRUE(enter.isAccepted());
        EXPECT_TRUE(zone.isTargeted());
        QDropEvent dropped(QPointF(centre), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&zone, &dropped);
        EXPECT_FALSE(zone.isTargeted());
    }

    TempDir folder_;
    fs::path output_ = folder_ / "out";
    std::unique_ptr<SplatConverterView> view_;
};

}  // namespace

TEST_F(SplatConverterViewTest, AnEmptyQueueShowsNoCountNoListAndADisabledConvert) {
    EXPECT_FALSE(child("fileCount")->isVisible());
    EXPECT_EQ(view_->dropZone().height(), 88);
    EXPECT_FALSE(child("queueList")->isVisible());
    EXPECT_TRUE(child("convertButton")->isVisible());
    EXPECT_FALSE(child("convertButton")->isEnabled());
    EXPECT_FALSE(child("cancelButton")->isVisible());
    EXPECT_FALSE(child("statusRow")->isVisible());
}

TEST_F(SplatConverterViewTest, DropsQueueSplatFilesByExtensionOnceEach) {
    fs::create_directories(folder_ / "scans.ply.d");
    drop({file("notes.txt"), file("scan.PLY"), folder_ / "scans.ply.d", file("b.ksplat"), file("x.compressed.ply"),
          file("noextension")});
    std::vector<std::string> queued;
    for (const auto& item : model().queue()) queued.push_back(item.url.filename().string());
    EXPECT_EQ(queued, (std::vector<std::string>{"scan.PLY", "b.ksplat", "x.compressed.ply"}));
    EXPECT_EQ(child<QLabel>("fileCount")->text(), "3 files");
    EXPECT_EQ(view_->dropZone().height(), 64);
    EXPECT_TRUE(child("queueList")->isVisible());
    EXPECT_EQ(rows().size(), 3);

    drop({folder_ / "scan.PLY", file("c.spz"), file("d.splat")});
    EXPECT_EQ(model().queue().size(), 5u);
    model().remove(model().queue()[0].id);
    model().remove(model().queue()[0].id);
    model().remove(model().queue()[0].id);
    model().remove(model().queue()[0].id);
    EXPECT_EQ(child<QLabel>("fileCount")->text(), "1 file");
}

TEST_F(SplatConverterViewTest, ClickingTheDropZoneQueuesThePickedFilesWhateverTheirExtension) {
    view_->dropZone().setFileChooser([this] { return std::vector<fs::path>{file("notes.txt"), file("a.ply")}; });
    QTest::mouseClick(&view_->dropZone(), Qt::LeftButton);
    ASSERT_EQ(model().queue().size(), 2u);
    EXPECT_EQ(model().queue()[0].url.filename(), "notes.txt");
}

// In the Final panel the converter sits in a scrolling column. A file added
// with a click is laid out at once: the new row never lies over the drop
// zone, and the buttons are already where they stay, so a second click
// lands on what was under the pointer.
TEST_F(SplatConverterViewTest, AnAddedFileIsLaidOutAtOnceInAScrollingColumn) {
    QScrollArea column;
    column.setWidgetResizable(true);
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    auto* above = new QWidget;
    above->setFixedHeight(300);
    layout->addWidget(above);
    auto model = ConverterModel::create(std::nullopt);
    auto* converter = new SplatConverterView(model);
    layout->addWidget(converter);
    layout->addStretch(1);
    column.setWidget(content);
    column.resize(430, 500);
    column.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&column));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);

    converter->dropZone().setFileChooser([this] { return std::vector<fs::path>{file("scene.ply")}; });
    QTest::mouseClick(&converter->dropZone(), Qt::LeftButton);
    ASSERT_EQ(model->queue().size(), 1u);
    // No event handled since the click: what would be drawn now.
    auto* list = converter->findChild<QWidget*>("queueList");
    auto* convert = converter->findChild<QWidget*>("convertButton");
    ASSERT_TRUE(list->isVisible());
    EXPECT_EQ(converter->dropZone().height(), 64);
    EXPECT_GE(list->y(), converter->dropZone().geometry().bottom());
    EXPECT_GE(convert->y(), list->geometry().bottom());
    EXPECT_LE(convert->geometry().bottom(), converter->height());
    const QPoint settled = convert->mapTo(&column, QPoint(0, 0));
    // Everything the click left queued is handled: the button stays where it was.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(convert->mapTo(&column, QPoint(0, 0)), settled);
}

TEST_F(SplatConverterViewTest, ThePickerOffersOurConverterFormatsAndSetsTheModelsFormat) {
    auto* picker = child<QComboBox>("formatPicker");
    ASSERT_EQ(picker->count(), 3);
    EXPECT_EQ(picker->itemText(0), ".spz (compressed)");
    EXPECT_EQ(picker->itemText(1), ".splat (dotSplat)");
    EXPECT_EQ(picker->itemText(2), ".ply (ASCII)");
    EXPECT_LE(picker->maximumWidth(), 240);
    EXPECT_EQ(picker->currentIndex(), 0);
    picker->setFocus();
    QTest::keyClick(picker, Qt::Key_Down);
    EXPECT_EQ(model().format(), engines::SplatOutputFormat::splat);
    QTest::keyClick(picker, Qt::Key_Down);
    EXPECT_EQ(model().format(), engines::SplatOutputFormat::plyAscii);
}

TEST_F(SplatConverterViewTest, AMissingBackendWarnsAndKeepsConvertDisabledWithAFullQueue) {
    model().setBackendLookup([](engines::SplatOutputFormat) { return std::nullopt; });
    model().add({file("a.ply")});
    auto* warning = child("backendWarning");
    EXPECT_TRUE(warning->isVisible());
    EXPECT_EQ(warning->toolTip(), "Bundled SplatConverter binary not found in app Resources. Rebuild the app.");
    EXPECT_TRUE(warning->findChild<QLabel*>() != nullptr);
    EXPECT_FALSE(child("convertButton")->isEnabled());

    model().setFormat(engines::SplatOutputFormat::sog);
    EXPECT_EQ(warning->toolTip(), "This format isn't available in this version.");

    // Installed again: the lookup runs on the next redraw.
    model().setBackendLookup({});
    model().setFormat(engines::SplatOutputFormat::spz);
    EXPECT_FALSE(warning->isVisible());
    EXPECT_TRUE(child("convertButton")->isEnabled());
}

// Disabled, Convert loses the accent colour: it must not look like an
// action that would run.
TEST_F(SplatConverterViewTest, ADisabledConvertDoesNotLookLikeTheEnabledOne) {
    model().add({file("a.ply")});
    auto* convert = child<QPushButton>("convertButton");
    ASSERT_TRUE(convert->isEnabled());
    auto fill = [&] {
        QCoreApplication::processEvents();
        // Beside the label, inside the bevel.
        return convert->grab().toImage().pixelColor(6, convert->height() / 2);
    };
    const QColor enabled = fill();
    const QColor accent = view_->palette().color(QPalette::Highlight);
    EXPECT_LT(std::abs(enabled.hue() - accent.hue()), 12) << enabled.name().toStdString();

    model().setBackendLookup([](engines::SplatOutputFormat) { return std::nullopt; });
    model().setFormat(engines::SplatOutputFormat::splat);
    ASSERT_FALSE(convert->isEnabled());
    const QColor disabled = fill();
    EXPECT_LT(disabled.hsvSaturation(), 40) << disabled.name().toStdString();
    EXPECT_GT(std::abs(disabled.lightness() - enabled.lightness()) + std::abs(disabled.hsvSaturation() -
                                                                              enabled.hsvSaturation()),
              80);
}

TEST_F(SplatConverterViewTest, ConvertThenCancelThroughTheButtons) {
    makeView(std::make_shared<ScriptedConverter>(tessaron::viewer::testing::writeSlowConverter(folder_.path())));
    model().add({file("a.ply"), file("b.ply")});
    auto* convert = child<QPushButton>("convertButton");
    ASSERT_TRUE(convert->isEnabled());

    QTest::mouseClick(convert, Qt::LeftButton);
    EXPECT_TRUE(model().isRunning());
    EXPECT_FALSE(convert->isVisible());
    EXPECT_TRUE(child("cancelButton")->isVisible());
    // The status line is emptied when a run starts, and comes back with the first line.
    EXPECT_FALSE(child("statusRow")->isVisible());
    EXPECT_FALSE(view_->dropZone().isEnabled());
    ASSERT_TRUE(waitFor([&] { return child<ElidedLabel>("statusLine")->text() == "started"; }));
    EXPECT_TRUE(child("statusRow")->isVisible());
    for (QWidget* row : rows()) EXPECT_FALSE(row->findChild<QToolButton*>("removeButton")->isEnabled());
    EXPECT_NE(rows()[0]->findChild<QWidget*>("busyIndicator"), nullptr);

    QTest::mouseClick(child<QPushButton>("cancelButton"), Qt::LeftButton);
    EXPECT_EQ(child<ElidedLabel>("statusLine")->text(), "Cancelling…");
    ASSERT_TRUE(waitFor([&] { return !model().isRunning(); }));
    EXPECT_EQ(child<ElidedLabel>("statusLine")->text(), "Cancelled.");
    EXPECT_TRUE(convert->isVisible());
    auto shownRows = rows();
    ASSERT_EQ(shownRows.size(), 2);
    auto* failure = shownRows[0]->findChild<ElidedLabel*>("failure");
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->text(), "Converter exited with status -15");
    EXPECT_EQ(shownRows[1]->findChild<ElidedLabel*>("failure"), nullptr);
    EXPECT_EQ(model().queue()[1].state.kind, Kind::pending);
    EXPECT_FALSE(fs::exists(output_ / "a.spz"));
}

TEST_F(SplatConverterViewTest, TheRowsRemoveButtonTakesItsFileOut) {
    model().add({file("a.ply"), file("b.ply")});
    auto* remove = rows()[0]->findChild<QToolButton*>("removeButton");
    ASSERT_TRUE(remove->isEnabled());
    QTest::mouseClick(remove, Qt::LeftButton);
    ASSERT_EQ(model().queue().size(), 1u);
    EXPECT_EQ(model().queue()[0].url.filename(), "b.ply");
    ASSERT_EQ(rows().size(), 1);
    EXPECT_EQ(rows()[0]->findChild<ElidedLabel*>("fileName")->text(), "b.ply");
}

TEST_F(SplatConverterViewTest, ALongFileNameIsShortenedInTheMiddle) {
    const std::string name = "harbour-walk-north-pier-evening-capture-full-resolution-take-two-final.compressed.ply";
    model().add({file(name)});
    auto* label = rows()[0]->findChild<ElidedLabel*>("fileName");
    label->resize(120, label->height());
    QString shown = label->shownText();
    EXPECT_TRUE(shown.contains(QChar(0x2026)));
    EXPECT_TRUE(shown.startsWith("harb"));
    EXPECT_TRUE(shown.endsWith("ply"));
}
