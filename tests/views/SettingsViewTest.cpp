// The Settings form against the real QSettings store in a private folder.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QTest>

#include "ViewsTestSupport.hpp"
#include "viewmodel/SettingsPreferenceStore.hpp"
#include "views/SettingsView.hpp"

namespace tessaron::testing {
namespace {

using views::SettingsView;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

TEST(SettingsViewTest, TheToggleStartsOnAndItsChangeOutlivesTheWindow) {
    viewmodel::SettingsPreferenceStore store;
    ASSERT_FALSE(store.string(SettingsView::checkForUpdatesKey).has_value());
    {
        SettingsView view(store, QStringLiteral("updates.example.org"));
        view.show();
        EXPECT_TRUE(view.toggle()->isChecked());
        EXPECT_EQ(view.toggle()->text(), QStringLiteral("Check for new versions at launch"));
        QTest::mouseClick(view.toggle(), Qt::LeftButton, {}, QPoint(8, view.toggle()->height() / 2));
        EXPECT_FALSE(view.toggle()->isChecked());
    }
    // A store opened afresh, as at the next launch, reads it back.
    viewmodel::SettingsPreferenceStore nextLaunch;
    EXPECT_EQ(nextLaunch.string(SettingsView::checkForUpdatesKey), std::optional<std::string>("false"));
    EXPECT_FALSE(SettingsView::checkForUpdates(nextLaunch));
    SettingsView view(nextLaunch, QStringLiteral("updates.example.org"));
    EXPECT_FALSE(view.toggle()->isChecked());
    QTest::keyClick(view.toggle(), Qt::Key_Space);
    EXPECT_EQ(viewmodel::SettingsPreferenceStore().string(SettingsView::checkForUpdatesKey),
              std::optional<std::string>("true"));
}

TEST(SettingsViewTest, TheCaptionNamesTheUpdateHost) {
    core::InMemoryPreferenceStore store;
    SettingsView view(store, QStringLiteral("updates.example.org"));
    EXPECT_EQ(view.caption()->text(),
              QStringLiteral("When this is on, Tessaron reads one small file from updates.example.org at launch, at "
                             "most once a day (Help \u25b8 Check for Updates\u2026 reads it whenever you ask). It sends no "
                             "identifiers or cookies; like any web request, the server sees your IP address and the "
                             "app's version."));
    EXPECT_TRUE(view.caption()->wordWrap());
}

// Typed into the toggle, which has the focus, as a user types them.
TEST(SettingsViewTest, EscapeAndControlWCloseTheWindow) {
    core::InMemoryPreferenceStore store;
    SettingsView view(store, QStringLiteral("updates.example.org"));
    for (const QKeyCombination keys : {QKeyCombination(Qt::Key_Escape), Qt::CTRL | Qt::Key_W}) {
        view.show();
        view.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
        view.toggle()->setFocus();
        QTest::keyClick(view.toggle(), keys.key(), keys.keyboardModifiers());
        EXPECT_FALSE(view.isVisible()) << QKeySequence(keys).toString().toStdString();
    }
}

}  // namespace
}  // namespace tessaron::testing
