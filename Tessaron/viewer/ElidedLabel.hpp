#pragma once

#include <QString>
#include <QWidget>

namespace tessaron::viewer {

// A text of at most `maxLines` lines that is shortened in the middle ("…")
// when it does not fit, so both the start and the end of a path stay
// visible. Colour and font come from the widget's palette and font.
class ElidedLabel : public QWidget {
public:
    explicit ElidedLabel(const QString& text = {}, int maxLines = 1, QWidget* parent = nullptr);

    const QString& text() const noexcept { return text_; }
    void setText(const QString& text);
    // The text as drawn at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return maxLines_ > 1; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    int maxLines_;
};

}  // namespace tessaron::viewer
