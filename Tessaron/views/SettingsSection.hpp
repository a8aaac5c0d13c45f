#pragma once

#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

namespace tessaron::views {

// The input form's titled card: the title in the headline font over the
// card's rows, on the control background, rounded, at most 500 wide and
// centred where it is placed.
class SettingsSection : public QWidget {
    Q_OBJECT
public:
    static constexpr int maximumWidth = 500;

    explicit SettingsSection(const QString& title, QWidget* parent = nullptr);

    QString title() const { return title_->text(); }
    // The rows below the title, spacing 8, leading alignment.
    QVBoxLayout* rows() const { return rows_; }
    void addRow(QWidget* row) { rows_->addWidget(row); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* title_;
    QVBoxLayout* rows_;
};

// Marks `view` as the target of one step of the guided tour: its object
// name becomes the step's name ("input_dropzone", "model_size", ...), which
// the form scrolls to, and the tour's spotlight finds it.
void tourAnchor(QWidget* view, const char* step);

}  // namespace tessaron::views
