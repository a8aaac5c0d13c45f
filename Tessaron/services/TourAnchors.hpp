#pragma once

#include <QObject>
#include <QRectF>
#include <QString>

#include <initializer_list>
#include <map>
#include <vector>

#include "core/Error.hpp"
#include "services/TourOrchestrator.hpp"

class QWidget;

namespace tessaron::services {

// The frames of the controls the tour points at, by step, in the tour
// host's coordinates.
using TourSpotlights = std::map<TourOrchestrator::TourStep, QRectF>;

// The spotlight anchors: each control the guided tour points at marks itself
// with one call, `TourAnchors::set(widget, TourStep::training_stats)` (or a
// list of steps, or the step's name), and the tour host collects the frames
// of the marked, visible widgets of its sample dashboard. A mark lives on
// the widget itself, so it goes with it.
//
// Threads: the main thread only.
class TourAnchors : public QObject {
    Q_OBJECT
public:
    using Step = TourOrchestrator::TourStep;

    class UnknownAnchorError : public core::Error {
    public:
        explicit UnknownAnchorError(const QString& name)
            : core::Error("No tour step is named \"" + name.toStdString() + "\".") {}
    };

    // The one instance, which signals new marks.
    static TourAnchors& instance();

    // Marks `widget` for `steps` (distinct), replacing an earlier mark.
    static void set(QWidget* widget, std::initializer_list<Step> steps);
    static void set(QWidget* widget, Step step) { set(widget, {step}); }
    // By the step's name ("input_dropzone"); throws UnknownAnchorError.
    static void set(QWidget* widget, const QString& anchorName);
    static void clear(QWidget* widget);
    static std::vector<Step> steps(const QWidget& widget);

    // The frames, in `space`'s coordinates, of the marked widgets of `root`
    // (itself included) that are visible within it. Widgets are visited
    // parent before children, and a later frame replaces an earlier one for
    // the same step: a control inside a marked container wins over it.
    static TourSpotlights collect(const QWidget& root, const QWidget& space);

signals:
    // A widget was marked or unmarked.
    void anchorsChanged();

private:
    TourAnchors() = default;
};

}  // namespace tessaron::services
