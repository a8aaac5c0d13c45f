#pragma once

#include <QPlainTextEdit>
#include <QString>

namespace tessaron::views {

// A step's log as the drawer shows it: monospaced green text on black,
// selectable and copyable, that keeps its newest line in view. A longer log
// that starts with the shown one appends only the new text, so a flush of
// many lines costs the new lines, not the whole log; the view stays where
// the user scrolled to unless they were at the end.
class LogConsoleView : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int maximumHeight = 220;

    LogConsoleView(const QString& placeholder, QWidget* parent = nullptr);

    void setLogText(const QString& text);
    const QString& logText() const { return logText_; }
    // The scroll bar is at its end.
    bool isAtEnd() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void applyColors();

    QString logText_;
};

}  // namespace tessaron::views
