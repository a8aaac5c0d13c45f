#pragma once

// Answers the application's real open panels from inside their own event
// loop, with keys, as a user answers them.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <functional>

#include "views/OpenPanel.hpp"

namespace tessaron::testing {

// Runs `drive` once an open panel is the modal window and active.
inline void whenPanelOpens(std::function<void(views::OpenPanel&)> drive) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, drive = std::move(drive)] {
        auto* panel = qobject_cast<views::OpenPanel*>(QApplication::activeModalWidget());
        if (!panel || !panel->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        // Keys reach the panel once it is the active window, as a window
        // manager makes a new dialog; a bare X server does not.
        panel->activateWindow();
        EXPECT_TRUE(QTest::qWaitFor([&] { return panel->nameField()->hasFocus(); }, 30000));
        QPointer<views::OpenPanel> open(panel);
        drive(*panel);
        // A panel the drive left open would hold the test in its event loop.
        if (open && open->isVisible()) {
            ADD_FAILURE() << "the panel stayed open: " << open->refusal().toStdString();
            open->reject();
        }
    });
    poll->start();
}

// Types `typed` into the panel's name field and presses Return.
inline void typeAndConfirm(views::OpenPanel& panel, const QString& typed) {
    // The panel opens with the name field ready for typing.
    EXPECT_TRUE(panel.nameField()->hasFocus());
    panel.nameField()->clear();
    QTest::keyClicks(panel.nameField(), typed);
    QTest::keyClick(panel.nameField(), Qt::Key_Return);
}

}  // namespace tessaron::testing
