#pragma once

// The step panels' tests: what a panel shows, read as a user reads it (the
// visible texts in order), and its buttons found by their titles.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QLayout>
#include <QTest>
#include <QWidget>

#include <memory>
#include <ostream>
#include <vector>

#include "partition/PartitionPlan.hpp"
#include "viewer/ElidedLabel.hpp"
#include "views/PanelWidgets.hpp"

// Test failures print texts, not their bytes.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace tessaron::testing {

// A button's title as drawn: "&&" is an ampersand, a single "&" marks the
// shortcut letter and is not drawn.
inline QString shownTitle(const QAbstractButton& button) {
    QString title = button.text();
    title.replace(QStringLiteral("&&"), QStringLiteral("\x01")).remove(QLatin1Char('&'));
    return title.replace(QLatin1Char('\x01'), QLatin1Char('&'));
}

// The texts of the labels and buttons that a user sees in `root`, top to
// bottom as its layouts place them.
inline void collectVisibleTexts(const QWidget& root, const QWidget& widget, QStringList& texts);

inline void collectLayoutTexts(const QWidget& root, const QLayout& layout, QStringList& texts) {
    for (int index = 0; index < layout.count(); ++index) {
        QLayoutItem* item = layout.itemAt(index);
        if (const QWidget* child = item->widget())
            collectVisibleTexts(root, *child, texts);
        else if (const QLayout* inner = item->layout())
            collectLayoutTexts(root, *inner, texts);
    }
}

inline void collectVisibleTexts(const QWidget& root, const QWidget& widget, QStringList& texts) {
    if (&widget != &root && !widget.isVisibleTo(&root)) return;
    if (const auto* label = qobject_cast<const QLabel*>(&widget)) {
        if (!label->text().isEmpty()) texts << label->text();
        return;
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) {
        if (!button->text().isEmpty()) texts << shownTitle(*button);
        return;
    }
    if (const auto* elided = dynamic_cast<const viewer::ElidedLabel*>(&widget)) {
        texts << elided->text();
        return;
    }
    if (const QLayout* layout = widget.layout()) {
        collectLayoutTexts(root, *layout, texts);
        return;
    }
    for (const QWidget* child : widget.findChildren<const QWidget*>(Qt::FindDirectChildrenOnly))
        collectVisibleTexts(root, *child, texts);
}

inline QStringList visibleTexts(const QWidget& root) {
    QStringList texts;
    collectVisibleTexts(root, root, texts);
    return texts;
}

// The visible button titled `title`; fails the test when there is none.
inline QAbstractButton* visibleButton(const QWidget& root, const QString& title) {
    for (QAbstractButton* button : root.findChildren<QAbstractButton*>())
        if (shownTitle(*button) == title && button->isVisibleTo(&root)) return button;
    ADD_FAILURE() << "no visible button \"" << title.toStdString() << "\"";
    return nullptr;
}

// A click in the button's middle, once its layout has given it a size (a
// button just shown has none until the event loop lays it out).
inline void click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !button->rect().isEmpty(); }, 30000));
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
}

// The header's status badge; none while it shows no status.
inline const views::StatusBadge* headerStatus(const views::PanelHeader& header) {
    return qobject_cast<const views::StatusBadge*>(header.trailing());
}
inline std::string statusText(const views::PanelHeader& header) {
    const views::StatusBadge* badge = headerStatus(header);
    return badge ? badge->text().toStdString() : "";
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
