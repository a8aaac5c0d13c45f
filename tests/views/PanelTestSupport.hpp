#pragma once

// The step panels' tests: what a panel shows, read as a user reads it (the
// visible texts in order), and its buttons found by their titles.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QTest>
#include <QWidget>

#include <memory>
#include <vector>

#include "partition/PartitionPlan.hpp"
#include "viewer/ElidedLabel.hpp"

namespace tessaron::testing {

// A button's title as drawn: "&&" is an ampersand, a single "&" marks the
// shortcut letter and is not drawn.
inline QString shownTitle(const QAbstractButton& button) {
    QString title = button.text();
    title.replace(QStringLiteral("&&"), QStringLiteral("\x01")).remove(QLatin1Char('&'));
    return title.replace(QLatin1Char('\x01'), QLatin1Char('&'));
}

// The texts of the labels and buttons that a user sees in `root`, in the
// order they were made (the panels make them top to bottom).
inline QStringList visibleTexts(const QWidget& root) {
    QStringList texts;
    for (const QWidget* widget : root.findChildren<const QWidget*>()) {
        if (!widget->isVisibleTo(&root)) continue;
        if (const auto* label = qobject_cast<const QLabel*>(widget); label && !label->text().isEmpty())
            texts << label->text();
        else if (const auto* button = qobject_cast<const QAbstractButton*>(widget); button && !button->text().isEmpty())
            texts << shownTitle(*button);
        else if (const auto* elided = dynamic_cast<const viewer::ElidedLabel*>(widget))
            texts << elided->text();
    }
    return texts;
}

// The visible button titled `title`; fails the test when there is none.
inline QAbstractButton* visibleButton(const QWidget& root, const QString& title) {
    for (QAbstractButton* button : root.findChildren<QAbstractButton*>())
        if (shownTitle(*button) == title && button->isVisibleTo(&root)) return button;
    ADD_FAILURE() << "no visible button \"" << title.toStdString() << "\"";
    return nullptr;
}

inline void click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
}

// A plan cell with the figures its row shows.
inline partition::PartitionCell planCell(int64_t images, int64_t points, double memoryGB, int64_t capMax = 600000,
                                         int64_t iterations = 30000) {
    partition::PartitionCell cell;
    cell.imageCount = images;
    cell.pointCount = points;
    cell.estimatedMemoryGB = memoryGB;
    cell.recommendedCapMax = capMax;
    cell.recommendedIterations = iterations;
    return cell;
}

// Eleven cells to train and two too small to, under a 12 GB budget.
inline std::shared_ptr<const partition::PartitionPlan> elevenAndTwoSkipped() {
    auto plan = std::make_shared<partition::PartitionPlan>();
    plan->budgetGB = 12;
    for (int index = 0; index < 13; ++index)
        plan->cells.push_back(planCell(index == 3 || index == 9 ? 7 : 40 + index, 20000 + index, 4.0 + index * 0.5));
    return plan;
}

}  // namespace tessaron::testing
