#pragma once

#include <QWidget>

#include "views/Theme.hpp"

class QLabel;

namespace tessaron::views {

// A translucent floating panel: a rounded rectangle (or a capsule) on one of
// the materials, with the one-pixel border. Children are laid out inside it
// as in any widget.
class FloatingPanel : public QWidget {
    Q_OBJECT
public:
    // `radius` < 0 draws a capsule.
    explicit FloatingPanel(double radius, theme::Material material = theme::Material::ultraThin,
                           QWidget* parent = nullptr);

    double radius() const { return radius_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double radius_;
    theme::Material material_;
};

// The place of a view that has not been built yet: its title on a clear
// background, so that the window's layout can be judged around it.
class PlaceholderView : public QWidget {
    Q_OBJECT
public:
    explicit PlaceholderView(const QString& title, QWidget* parent = nullptr);
    void setTitle(const QString& title);
    QString title() const;

private:
    QLabel* label_;
};

}  // namespace tessaron::views
