// The open panels on Qt's own dialog, driven with keys and clicks as a user
// drives them: a folder typed and confirmed with Return, or selected in the
// list and opened, is chosen; a video is chosen; anything else is refused
// with a line that says why, and the panel stays usable.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

#include <fstream>

#include "OpenPanelDriver.hpp"
#include "ViewsTestSupport.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "views/OpenPanel.hpp"
#include "views/QtDialogService.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

namespace fs = std::filesystem;
using viewmodel::DialogService;
using viewmodel::PipelineViewModel;
using views::OpenPanel;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

QString text(const fs::path& path) { return QString::fromStdString(path.string()); }

class OpenPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(garden_);
        fs::create_directories(captures_ / "harbour");
        std::ofstream(video_) << "not decoded here";
        std::ofstream(snapshot_) << "not decoded here";
    }

    // The request the model makes in `ask`.
    DialogService::OpenRequest requestOf(const std::function<void(PipelineViewModel&)>& ask) {
        auto model = makeViewModel(support_);
        auto dialogs = std::make_shared<ScriptedDialogs>();
        dialogs->answer(std::nullopt);
        model->setDialogService(dialogs);
        ModelAccess::setFreeSpaceProbe(*model, [](const fs::path&) { return std::nullopt; });
        ask(*model);
        EXPECT_EQ(dialogs->opened.size(), 1u);
        DialogService::OpenRequest request = dialogs->opened.at(0);
        request.startFolder = captures_;
        return request;
    }
    DialogService::OpenRequest inputRequest() {
        return requestOf([](PipelineViewModel& model) { model.chooseInput(); });
    }
    DialogService::OpenRequest outputRequest() {
        return requestOf([this](PipelineViewModel& model) {
            model.setSelectedInputURL(garden_);
            model.startNewRun();
        });
    }
    DialogService::OpenRequest colmapRequest() {
        return requestOf([](PipelineViewModel& model) { model.chooseCOLMAPFolder(); });
    }

    std::unique_ptr<OpenPanel> show(const DialogService::OpenRequest& request) {
        auto panel = std::make_unique<OpenPanel>(request);
        panel->show();
        EXPECT_TRUE(QTest::qWaitForWindowActive(panel.get()));
        return panel;
    }
    static void expectChosen(const OpenPanel& panel, const fs::path& path) {
        EXPECT_EQ(panel.result(), QDialog::Accepted) << panel.refusal().toStdString();
        EXPECT_FALSE(panel.isVisible());
        EXPECT_EQ(panel.chosen(), path);
    }
    static void expectRefused(const OpenPanel& panel, const QString& reason) {
        EXPECT_TRUE(panel.isVisible());
        EXPECT_EQ(panel.chosen(), std::nullopt);
        EXPECT_EQ(panel.refusal(), reason);
    }

    TempDir support_{"tessaron-views"};
    TempDir files_{"tessaron-panels"};
    fs::path captures_ = files_.path() / "captures";
    fs::path garden_ = captures_ / "garden";
    fs::path video_ = captures_ / "walkthrough.mp4";
    fs::path snapshot_ = captures_ / "snapshot.jpg";
};

TEST_F(OpenPanelTest, TheInputPanelTakesATypedFolderOrVideoOnReturnAndOffersVideos) {
    const std::vector<std::pair<QString, fs::path>> table{
        {text(garden_), garden_},                  // a full path
        {text(garden_) + '/', garden_},            // as a completion leaves it
        {QStringLiteral("harbour"), captures_ / "harbour"},  // a name in the folder shown
        {text(video_), video_},
        {QStringLiteral("walkthrough.mp4"), video_},
    };
    for (const auto& [typed, expected] : table) {
        auto panel = show(inputRequest());
        EXPECT_EQ(panel->nameFilters().first().section(' ', 0, 0), QStringLiteral("Videos"));
        EXPECT_TRUE(panel->nameFilters().first().contains(QStringLiteral("*.mp4")));
        typeAndConfirm(*panel, typed);
        expectChosen(*panel, expected);
    }
}

TEST_F(OpenPanelTest, AFolderSelectedInTheListIsChosenWithOpenAndWithNothingSelectedTheFolderShown) {
    auto panel = show(inputRequest());
    auto* list = panel->findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_NE(list, nullptr);
    QModelIndex garden;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row) {
            const QModelIndex index = list->model()->index(row, 0, list->rootIndex());
            if (index.data().toString() == QStringLiteral("garden")) garden = index;
        }
        return garden.isValid() && list->isVisible();
    }));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(garden).center());
    ASSERT_TRUE(panel->openButton()->isEnabled());
    QTest::mouseClick(panel->openButton(), Qt::LeftButton);
    expectChosen(*panel, garden_);

    // Inside a folder with nothing selected, Open takes that folder.
    DialogService::OpenRequest request = inputRequest();
    request.startFolder = garden_;
    panel = show(request);
    ASSERT_TRUE(panel->openButton()->isEnabled());
    QTest::mouseClick(panel->openButton(), Qt::LeftButton);
    expectChosen(*panel, garden_);
}

TEST_F(OpenPanelTest, APanelWithoutAStartFolderOpensAtHomeNotInTheWorkingFolder) {
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(garden_.string()));
    DialogService::OpenRequest request = inputRequest();
    request.startFolder.reset();
    auto panel = show(request);
    EXPECT_EQ(fs::path(panel->directory().absolutePath().toStdString()), garden_);
    qputenv("HOME", home);
}

TEST_F(OpenPanelTest, AJPEGOrAMissingItemIsRefusedWithWhyAndThePanelStaysUsable) {
    auto panel = show(inputRequest());
    typeAndConfirm(*panel, text(snapshot_));
    expectRefused(*panel,
                  QStringLiteral("\u201csnapshot.jpg\u201d is neither a folder nor a video. Choose a folder of photos or a "
                                 "video file."));
    typeAndConfirm(*panel, text(captures_ / "gardn"));
    expectRefused(*panel, QStringLiteral("\u201c%1\u201d does not exist.").arg(text(captures_ / "gardn")));
    // A new choice clears the line, and a folder is still taken.
    QTest::keyClick(panel->nameField(), Qt::Key_Backspace);
    EXPECT_EQ(panel->refusal(), QString());
    typeAndConfirm(*panel, text(garden_));
    expectChosen(*panel, garden_);
}

TEST_F(OpenPanelTest, TheOutputPanelTakesATypedFolderAndMakesANewOneInAnExistingFolder) {
    auto panel = show(outputRequest());
    typeAndConfirm(*panel, text(garden_));
    expectChosen(*panel, garden_);

    const fs::path fresh = captures_ / "garden run";
    panel = show(outputRequest());
    typeAndConfirm(*panel, text(fresh));
    expectChosen(*panel, fresh);
    EXPECT_TRUE(fs::is_directory(fresh));

    // A mistyped parent is refused, and nothing is made.
    const fs::path stray = captures_ / "missing" / "run";
    panel = show(outputRequest());
    typeAndConfirm(*panel, text(stray));
    expectRefused(*panel, QStringLiteral("There is no folder \u201c%1\u201d to make \u201crun\u201d in.")
                              .arg(text(captures_ / "missing")));
    EXPECT_FALSE(fs::exists(captures_ / "missing"));
    typeAndConfirm(*panel, text(video_));
    expectRefused(*panel, QStringLiteral("\u201cwalkthrough.mp4\u201d is a file. Choose a folder."));
}

// Typing a path opens the completer's list under the name field; one click
// on Open then takes the typed item (and on Cancel closes the panel), not a
// first click that only closes the list.
TEST_F(OpenPanelTest, OneClickAfterTypingReachesTheButtonPastTheCompletionList) {
    for (const bool open : {true, false}) {
        auto panel = show(open ? inputRequest() : colmapRequest());
        QAbstractItemView* completions = panel->nameField()->completer()->popup();
        QTest::keyClicks(panel->nameField(), text(captures_) + QStringLiteral("/gar"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return completions->isVisible(); }, 30000));
        QTest::keyClicks(panel->nameField(), QStringLiteral("den"));
        ASSERT_TRUE(completions->isVisible());
        // Through the window, as the pointer's click comes: Qt hands it to
        // the open list first.
        auto clickThroughWindow = [&](QWidget* button) {
            QTest::mouseClick(panel->windowHandle(), Qt::LeftButton, {},
                              button->mapTo(panel.get(), button->rect().center()));
        };
        if (open) {
            clickThroughWindow(panel->openButton());
            expectChosen(*panel, garden_);
        } else {
            clickThroughWindow(
                panel->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Cancel));
            EXPECT_FALSE(panel->isVisible());
            EXPECT_EQ(panel->result(), QDialog::Rejected);
        }
        EXPECT_FALSE(completions->isVisible());
    }
}

TEST_F(OpenPanelTest, AFolderPanelThatMakesNoFoldersTakesATypedFolderAndRefusesAMissingOne) {
    auto panel = show(colmapRequest());
    typeAndConfirm(*panel, text(captures_ / "garden_colmap"));
    expectRefused(*panel, QStringLiteral("\u201c%1\u201d does not exist.").arg(text(captures_ / "garden_colmap")));
    EXPECT_FALSE(fs::exists(captures_ / "garden_colmap"));
    typeAndConfirm(*panel, QStringLiteral("harbour"));
    expectChosen(*panel, captures_ / "harbour");
}

// The model's own panels through the desktop's dialog service, as the
// application shows them: modal, answered from inside their event loop.
TEST_F(OpenPanelTest, ChooseInputThroughTheRealDialogSelectsATypedFolderAndNothingForARefusedJPEG) {
    auto model = makeViewModel(support_);
    ModelAccess::setInputAnalyzer(
        *model, [](const fs::path&, bool, int64_t) { return PipelineViewModel::InputAnalysis{}; });
    model->setDialogService(std::make_shared<views::QtDialogService>());

    QString refusal;
    whenPanelOpens([&](OpenPanel& panel) {
        typeAndConfirm(panel, text(snapshot_));
        refusal = panel.refusal();
        // Given up on: Escape closes the panel.
        QTest::keyClick(panel.nameField(), Qt::Key_Escape);
    });
    model->chooseInput();
    EXPECT_TRUE(refusal.startsWith(QStringLiteral("\u201csnapshot.jpg\u201d is neither")));
    EXPECT_EQ(model->selectedInputURL(), std::nullopt);

    whenPanelOpens([&](OpenPanel& panel) { typeAndConfirm(panel, text(garden_)); });
    model->chooseInput();
    EXPECT_EQ(model->selectedInputURL(), garden_);
    EXPECT_FALSE(model->isInputVideo());

    whenPanelOpens([&](OpenPanel& panel) { typeAndConfirm(panel, text(video_)); });
    model->chooseInput();
    EXPECT_EQ(model->selectedInputURL(), video_);
    EXPECT_TRUE(model->isInputVideo());
}

}  // namespace
}  // namespace tessaron::testing
