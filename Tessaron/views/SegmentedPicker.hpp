#pragma once

#include <QButtonGroup>
#include <QString>
#include <QToolButton>
#include <QWidget>

#include <optional>
#include <vector>

namespace tessaron::views {

// A row of joined choices of which one is selected, each with an integer
// tag.
class SegmentedPicker : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedPicker(const QString& accessibleName, QWidget* parent = nullptr);

    void addChoice(const QString& label, int tag);
    // Selects the choice of `tag` (none selected when no choice has it);
    // signals nothing.
    void setSelectedTag(int tag);
    std::optional<int> selectedTag() const;
    QToolButton* choice(const QString& label) const;

signals:
    // The user clicked the choice of `tag`.
    void chosen(int tag);

private:
    QButtonGroup group_;
    // The tag of each choice; the group's ids are the indices (a tag may be -1,
    // which the group itself would not keep).
    std::vector<int> tags_;
};

}  // namespace tessaron::views
