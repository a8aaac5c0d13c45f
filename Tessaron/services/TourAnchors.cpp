#include "services/TourAnchors.hpp"

#include <QVariant>
#include <QWidget>

#include <algorithm>
#include <cassert>

namespace tessaron::services {

namespace {

// The dynamic property that carries a widget's mark: the step names.
constexpr const char* markProperty = "tessaronTourSteps";

void addFrame(TourSpotlights& spotlights, const QWidget& widget, const QWidget& space) {
    const QStringList names = widget.property(markProperty).toStringList();
    if (names.isEmpty()) return;
    const QRectF frame(QPointF(widget.mapTo(&space, QPoint(0, 0))), QSizeF(widget.size()));
    for (const QString& name : names)
        if (auto step = tourStepFromString(name.toStdString())) spotlights[*step] = frame;
}

}  // namespace

TourAnchors& TourAnchors::instance() {
    static TourAnchors* anchors = new TourAnchors;  // lives as long as the process
    return *anchors;
}

void TourAnchors::set(QWidget* widget, std::initializer_list<Step> steps) {
    QStringList names;
    for (Step step : steps) {
        const QString name = QString::fromStdString(toString(step));
        assert(!names.contains(name) && "the steps of one anchor are distinct");
        if (!names.contains(name)) names.append(name);
    }
    widget->setProperty(markProperty, names);
    emit instance().anchorsChanged();
}

void TourAnchors::set(QWidget* widget, const QString& anchorName) {
    auto step = tourStepFromString(anchorName.toStdString());
    if (!step) throw UnknownAnchorError(anchorName);
    set(widget, {*step});
}

void TourAnchors::clear(QWidget* widget) {
    widget->setProperty(markProperty, QVariant());
    emit instance().anchorsChanged();
}

std::vector<TourAnchors::Step> TourAnchors::steps(const QWidget& widget) {
    std::vector<Step> result;
    for (const QString& name : widget.property(markProperty).toStringList())
        if (auto step = tourStepFromString(name.toStdString())) result.push_back(*step);
    return result;
}

TourSpotlights TourAnchors::collect(const QWidget& root, const QWidget& space) {
    TourSpotlights spotlights;
    if (!root.isVisible()) return spotlights;
    addFrame(spotlights, root, space);
    // findChildren lists each child before its own children.
    for (const QWidget* widget : root.findChildren<QWidget*>())
        if (widget->isVisibleTo(&root)) addFrame(spotlights, *widget, space);
    return spotlights;
}

}  // namespace tessaron::services
