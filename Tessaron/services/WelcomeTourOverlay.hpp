#pragma once

#include <QElapsedTimer>
#include <QWidget>

#include <functional>
#include <optional>

#include "services/TourAnchors.hpp"
#include "services/TourOrchestrator.hpp"
#include "viewmodel/PipelineViewModel.hpp"

class QLabel;
class QPushButton;
class QVariantAnimation;

namespace tessaron::services {

// The welcome tour laid over the whole window: the window dimmed, a rounded
// hole cut around the control the current step is about, and a card with
// the step's title, text, "Skip Tour" and the main button beside it. Return
// or Enter presses the main button: "Next (Enter)" advances the tour,
// "Finish (Enter)" at the last step ends it, as "Skip Tour" does at any
// step. The overlay takes every click, so the window below cannot be used
// while it is shown.
//
// Threads: the main thread only.
class WelcomeTourOverlay : public QWidget {
    Q_OBJECT
public:
    using Step = TourOrchestrator::TourStep;

    // Where a step's card sits.
    enum class CardPlacement { centre, rightOfControl, leftOfControl, aboveControl, belowControl, topRightCorner };

    struct StepContent {
        QString title;
        QString text;
        CardPlacement placement;
    };
    // The step's content as written for a COLMAP that extracts on the GPU;
    // the card names the hardware this machine's COLMAP uses.
    static const StepContent& content(Step step);
    // The Reconstruction step's text: "on the GPU" or "on the CPU" where
    // COLMAP extracts features, no hardware while that is unknown.
    static QString reconstructionText(viewmodel::OptionalFlag extractsOnGPU);

    static constexpr double cardWidth = 380;
    static constexpr double cardPadding = 24;
    // The card's half-width and an assumed half-height, each plus a margin,
    // keep it inside the overlay.
    static constexpr double cardHalfWidthWithMargin = 214;
    static constexpr double cardHalfHeightWithMargin = 99;
    static constexpr double holePadding = 12;
    static constexpr double holeRadius = 12;
    static constexpr double cardRadius = 16;

    // The card's centre for a placement, the step's control frame (none when
    // the control is not on screen) and the overlay's size. The clamps are
    // applied inner first, so in a tiny overlay the outer one decides.
    static QPointF cardCentre(CardPlacement placement, const std::optional<QRectF>& frame, const QSizeF& overlay);

    // `onFinish` ends the tour (skip, or the main button at the last step).
    WelcomeTourOverlay(TourOrchestrator& orchestrator, std::function<void()> onFinish, QWidget* parent = nullptr);

    void setSpotlights(const TourSpotlights& spotlights);
    const TourSpotlights& spotlights() const { return spotlights_; }

    // The hole as it is drawn now (none: the whole overlay dimmed).
    std::optional<QRectF> hole() const { return displayedHole_; }
    // Where the hole and the card are going for the current step.
    std::optional<QRectF> targetHole() const;
    QRectF targetCardGeometry() const;
    bool isAnimating() const;

    QWidget* card() const { return card_; }
    QLabel* titleLabel() const { return title_; }
    QLabel* textLabel() const { return text_; }
    QPushButton* skipButton() const { return skip_; }
    QPushButton* mainButton() const { return main_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void buildCard();
    void showStepContent();
    // Follows the sample model's answer on COLMAP's hardware.
    void watchSample();
    void mainAction();
    // Moves the hole and the card to the current step's places: animated for
    // a while after the step changed, at once otherwise.
    void place();
    double cardHeight() const;

    TourOrchestrator& orchestrator_;
    std::function<void()> onFinish_;
    TourSpotlights spotlights_;

    std::optional<QRectF> displayedHole_;
    std::optional<QRectF> lastHole_;  // the last hole drawn, where the next one grows from
    QElapsedTimer sinceStepChange_;

    QWidget* card_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* text_ = nullptr;
    QPushButton* skip_ = nullptr;
    QPushButton* main_ = nullptr;
    QVariantAnimation* holeMove_ = nullptr;
    QVariantAnimation* cardMove_ = nullptr;
    QVariantAnimation* textFade_ = nullptr;
    QMetaObject::Connection sampleHardware_;
};

}  // namespace tessaron::services
