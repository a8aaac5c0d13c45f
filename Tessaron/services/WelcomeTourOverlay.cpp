#include "services/WelcomeTourOverlay.hpp"

#include <QEasingCurve>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <algorithm>
#include <array>
#include <cmath>

namespace tessaron::services {

namespace {

using Step = TourOrchestrator::TourStep;
using Placement = WelcomeTourOverlay::CardPlacement;

// How long after a step change the hole and the card glide rather than jump.
constexpr int glideMilliseconds = 600;
constexpr int holeMilliseconds = 350;
constexpr int fadeMilliseconds = 200;
constexpr int titlePixels = 17;
constexpr int bodyPixels = 13;

// A critically damped spring of response 0.5 s over the glide's duration,
// scaled to end exactly at 1.
qreal springProgress(qreal progress) {
    constexpr double omega = 2 * M_PI / 0.5;
    constexpr double seconds = glideMilliseconds / 1000.0;
    auto spring = [](double t) { return 1 - (1 + omega * t) * std::exp(-omega * t); };
    return qreal(spring(progress * seconds) / spring(seconds));
}

QFont sansFont(int pixels, bool bold) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, color);
        palette.setColor(group, QPalette::ButtonText, color);
    }
    widget->setPalette(palette);
}

QColor white(double opacity) { return QColor::fromRgbF(1, 1, 1, float(opacity)); }
QColor black(double opacity) { return QColor::fromRgbF(0, 0, 0, float(opacity)); }

// The card's face: black at 85 % over the panel material, a hairline of
// white at 20 %.
class CardFace : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF face = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor::fromRgbF(0.12f, 0.12f, 0.13f, 0.6f));
        painter.drawRoundedRect(face, WelcomeTourOverlay::cardRadius, WelcomeTourOverlay::cardRadius);
        painter.setBrush(black(0.85));
        painter.setPen(QPen(white(0.2), 1));
        painter.drawRoundedRect(face, WelcomeTourOverlay::cardRadius, WelcomeTourOverlay::cardRadius);
    }
};

const std::array<WelcomeTourOverlay::StepContent, TourOrchestrator::stepCount>& stepContents() {
    static const std::array<WelcomeTourOverlay::StepContent, TourOrchestrator::stepCount> contents{{
        {QStringLiteral("Welcome to Tessaron"),
         QStringLiteral("A quick tour of how Tessaron turns photos or a video into a 3D Gaussian splat, entirely on "
                        "your computer. Nothing here runs for real — it's a sample run."),
         Placement::centre},
        {QStringLiteral("The five steps"),
         QStringLiteral("Input, Structure from Motion, Planning, Training and Final. The bar shows where a run is; "
                        "click a finished step to look back at it."),
         Placement::aboveControl},
        {QStringLiteral("Add your capture"),
         QStringLiteral("Drop a folder of photos or a single video here, or use Choose Folder or Video."),
         Placement::rightOfControl},
        {QStringLiteral("Reconstruction"),
         WelcomeTourOverlay::reconstructionText(true),
         Placement::rightOfControl},
        {QStringLiteral("Model size"),
         QStringLiteral("How many Gaussians the model may use: Light 500K, Standard 1M, High 2M, Ultra 4M, or Custom. "
                        "Larger means more detail, but slower training, more memory and a bigger file."),
         Placement::rightOfControl},
        {QStringLiteral("Advanced Settings"),
         QStringLiteral("Frame extraction, COLMAP, iterations and partitioning live here. The defaults suit most "
                        "captures."),
         Placement::rightOfControl},
        {QStringLiteral("Frame extraction"),
         QStringLiteral("For a video, Tessaron takes one frame every interval you set, and the sharpness filter drops "
                        "blurry frames."),
         Placement::rightOfControl},
        {QStringLiteral("Single Camera Mode"),
         QStringLiteral("Turn this on when every photo comes from the same camera and lens without zooming; COLMAP "
                        "then calibrates one camera for all of them."),
         Placement::rightOfControl},
        {QStringLiteral("Training"),
         QStringLiteral("The number of training iterations, and Eval Mode, which holds back some images to measure "
                        "the result's quality."),
         Placement::rightOfControl},
        {QStringLiteral("Partitioning"),
         QStringLiteral("Large scenes are split into cells that each fit the App Memory Limit. Tessaron trains them "
                        "one by one and merges them at the end."),
         Placement::rightOfControl},
        {QStringLiteral("Structure from Motion"),
         QStringLiteral("The point cloud and cameras appear live as COLMAP registers your images."),
         Placement::topRightCorner},
        {QStringLiteral("Planning"),
         QStringLiteral("Tessaron splits the scene into the fewest cells that fit your memory. You review the plan "
                        "and press Start Training."),
         Placement::topRightCorner},
        {QStringLiteral("Memory"),
         QStringLiteral("This shows how much memory Tessaron and its helpers are using right now."),
         Placement::belowControl},
        {QStringLiteral("Training"),
         QStringLiteral("Cells train one after another. Iterations, Gaussian count and speed update live here."),
         Placement::rightOfControl},
        {QStringLiteral("Logs"),
         QStringLiteral("The log drawer shows the engine's output as it runs. Help ▸ Send Feedback attaches it when "
                        "you report a problem."),
         Placement::leftOfControl},
        {QStringLiteral("Done"),
         QStringLiteral("The cells merge into one model you can orbit here, and export as PLY, SPZ or .splat. You can "
                        "replay this tour from Help ▸ Welcome Tour."),
         Placement::topRightCorner},
    }};
    return contents;
}

}  // namespace

QString WelcomeTourOverlay::reconstructionText(viewmodel::OptionalFlag extractsOnGPU) {
    const QString where = !extractsOnGPU   ? QString()
                          : *extractsOnGPU ? QStringLiteral(" on the GPU")
                                           : QStringLiteral(" on the CPU");
    return QStringLiteral("COLMAP finds the camera positions") + where +
           QStringLiteral(". If you already have a COLMAP model (sparse/0), turn on Skip COLMAP and pick its folder.");
}

const WelcomeTourOverlay::StepContent& WelcomeTourOverlay::content(Step step) {
    return stepContents()[size_t(step)];
}

QPointF WelcomeTourOverlay::cardCentre(CardPlacement placement, const std::optional<QRectF>& frame,
                                       const QSizeF& overlay) {
    const double width = overlay.width();
    const double height = overlay.height();
    const double dx = cardHalfWidthWithMargin;
    const double dy = cardHalfHeightWithMargin;
    const QPointF centre(width / 2, height / 2);
    if (placement == CardPlacement::centre) return centre;
    if (placement == CardPlacement::topRightCorner) return QPointF(width - dx, 191);
    if (!frame) return centre;
    const QRectF& f = *frame;
    switch (placement) {
    case CardPlacement::rightOfControl:
        return QPointF(std::min(f.right() + dx, width - dx), std::min(std::max(f.center().y(), dy), height - dy));
    case CardPlacement::leftOfControl:
        return QPointF(std::max(f.left() - dx, dx), std::min(std::max(f.center().y(), dy), height - dy));
    case CardPlacement::aboveControl:
        return QPointF(std::min(std::max(f.center().x(), dx), width - dx), std::max(f.top() - dy, dy));
    case CardPlacement::belowControl:
        return QPointF(std::min(std::max(f.center().x(), dx), width - dx), std::min(f.bottom() + dy, height - dy));
    case CardPlacement::centre:
    case CardPlacement::topRightCorner: break;
    }
    return centre;
}

WelcomeTourOverlay::WelcomeTourOverlay(TourOrchestrator& orchestrator, std::function<void()> onFinish, QWidget* parent)
    : QWidget(parent), orchestrator_(orchestrator), onFinish_(std::move(onFinish)) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::StrongFocus);
    buildCard();

    holeMove_ = new QVariantAnimation(this);
    holeMove_->setDuration(holeMilliseconds);
    holeMove_->setEasingCurve(QEasingCurve::InOutQuad);
    connect(holeMove_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        displayedHole_ = value.toRectF();
        lastHole_ = displayedHole_;
        update();
    });

    cardMove_ = new QVariantAnimation(this);
    cardMove_->setDuration(glideMilliseconds);
    QEasingCurve spring;
    spring.setCustomType(springProgress);
    cardMove_->setEasingCurve(spring);
    connect(cardMove_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        card_->move(value.toPointF().toPoint());
        update();
    });

    connect(&orchestrator_, &TourOrchestrator::currentTourStepChanged, this, [this] {
        sinceStepChange_.start();
        showStepContent();
        place();
    });
    connect(&orchestrator_, &TourOrchestrator::mockVMChanged, this, &WelcomeTourOverlay::watchSample);
    watchSample();
    showStepContent();
    place();
}

void WelcomeTourOverlay::buildCard() {
    card_ = new CardFace(this);
    card_->setFixedWidth(int(cardWidth));
    auto* column = new QVBoxLayout(card_);
    column->setContentsMargins(int(cardPadding), int(cardPadding), int(cardPadding), int(cardPadding));
    column->setSpacing(12);

    title_ = new QLabel(card_);
    title_->setFont(sansFont(titlePixels, true));
    setTextColor(title_, white(1));
    title_->setWordWrap(true);
    column->addWidget(title_);

    text_ = new QLabel(card_);
    text_->setFont(sansFont(bodyPixels, false));
    setTextColor(text_, white(0.9));
    text_->setWordWrap(true);
    column->addWidget(text_);

    // Title and text fade in together when the step changes.
    textFade_ = new QVariantAnimation(this);
    textFade_->setDuration(fadeMilliseconds);
    textFade_->setStartValue(0.0);
    textFade_->setEndValue(1.0);
    connect(textFade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        for (QLabel* label : {title_, text_}) {
            auto* effect = qobject_cast<QGraphicsOpacityEffect*>(label->graphicsEffect());
            if (effect) effect->setOpacity(value.toDouble());
        }
    });
    connect(textFade_, &QVariantAnimation::finished, this, [this] {
        // Drawn without the effect when still, which keeps the text crisp.
        title_->setGraphicsEffect(nullptr);
        text_->setGraphicsEffect(nullptr);
    });

    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 8, 0, 0);
    row->setSpacing(8);
    skip_ = new QPushButton(QStringLiteral("Skip Tour"), card_);
    skip_->setFlat(true);
    skip_->setCursor(Qt::PointingHandCursor);
    skip_->setFocusPolicy(Qt::NoFocus);
    skip_->setFont(sansFont(bodyPixels, false));
    skip_->setStyleSheet(QStringLiteral("QPushButton { color: rgba(255, 255, 255, 153); background: transparent; "
                                        "border: none; padding: 4px 0px; }"));
    main_ = new QPushButton(card_);
    main_->setCursor(Qt::PointingHandCursor);
    main_->setFocusPolicy(Qt::NoFocus);
    main_->setFont(sansFont(bodyPixels, true));
    main_->setStyleSheet(QStringLiteral("QPushButton { color: black; background: white; border: none; "
                                        "border-radius: 6px; padding: 5px 12px; }"
                                        "QPushButton:pressed { background: rgb(210, 210, 210); }"));
    row->addWidget(skip_, 0, Qt::AlignVCenter);
    row->addWidget(main_, 0, Qt::AlignVCenter);
    row->addStretch(1);
    column->addLayout(row);

    connect(skip_, &QPushButton::clicked, this, [this] {
        if (onFinish_) onFinish_();
    });
    connect(main_, &QPushButton::clicked, this, &WelcomeTourOverlay::mainAction);
}

void WelcomeTourOverlay::showStepContent() {
    const Step step = orchestrator_.currentTourStep();
    const StepContent& stepContent = content(step);
    title_->setText(stepContent.title);
    // Where COLMAP runs is this machine's: the sample model asks the program.
    text_->setText(step == Step::input_reconstruction
                       ? reconstructionText(orchestrator_.mockVM().colmapExtractsOnGPU())
                       : stepContent.text);
    main_->setText(step == Step::final_render ? QStringLiteral("Finish (Enter)") : QStringLiteral("Next (Enter)"));
    card_->resize(int(cardWidth), int(cardHeight()));
    if (sinceStepChange_.isValid()) {
        for (QLabel* label : {title_, text_}) {
            auto* effect = new QGraphicsOpacityEffect(label);
            effect->setOpacity(0);
            label->setGraphicsEffect(effect);
        }
        textFade_->stop();
        textFade_->start();
    }
}

void WelcomeTourOverlay::watchSample() {
    disconnect(sampleHardware_);
    sampleHardware_ = connect(&orchestrator_.mockVM(), &viewmodel::PipelineViewModel::colmapHasCUDAChanged, this, [this] {
        if (orchestrator_.currentTourStep() == Step::input_reconstruction)
            text_->setText(reconstructionText(orchestrator_.mockVM().colmapExtractsOnGPU()));
    });
}

void WelcomeTourOverlay::mainAction() {
    if (orchestrator_.currentTourStep() == Step::final_render) {
        if (onFinish_) onFinish_();
    } else {
        orchestrator_.advance();
    }
}

void WelcomeTourOverlay::setSpotlights(const TourSpotlights& spotlights) {
    if (spotlights_ == spotlights) return;
    spotlights_ = spotlights;
    place();
}

std::optional<QRectF> WelcomeTourOverlay::targetHole() const {
    auto found = spotlights_.find(orchestrator_.currentTourStep());
    if (found == spotlights_.end()) return std::nullopt;
    return found->second.adjusted(-holePadding, -holePadding, holePadding, holePadding);
}

double WelcomeTourOverlay::cardHeight() const { return card_->heightForWidth(int(cardWidth)); }

QRectF WelcomeTourOverlay::targetCardGeometry() const {
    const Step step = orchestrator_.currentTourStep();
    auto found = spotlights_.find(step);
    std::optional<QRectF> frame;
    if (found != spotlights_.end()) frame = found->second;
    const QPointF centre = cardCentre(content(step).placement, frame, QSizeF(size()));
    const double height = cardHeight();
    return QRectF(centre.x() - cardWidth / 2, centre.y() - height / 2, cardWidth, height);
}

bool WelcomeTourOverlay::isAnimating() const {
    return holeMove_->state() == QAbstractAnimation::Running || cardMove_->state() == QAbstractAnimation::Running ||
           textFade_->state() == QAbstractAnimation::Running;
}

void WelcomeTourOverlay::place() {
    const bool glide = sinceStepChange_.isValid() && sinceStepChange_.elapsed() < glideMilliseconds && isVisible();

    const std::optional<QRectF> hole = targetHole();
    if (!hole) {
        holeMove_->stop();
        displayedHole_.reset();
    } else if (glide && lastHole_ && *lastHole_ != *hole) {
        if (holeMove_->state() == QAbstractAnimation::Running) {
            holeMove_->setEndValue(*hole);
        } else {
            holeMove_->setStartValue(*lastHole_);
            holeMove_->setEndValue(*hole);
            holeMove_->start();
        }
    } else {
        holeMove_->stop();
        displayedHole_ = hole;
        lastHole_ = hole;
    }

    const QRectF cardGeometry = targetCardGeometry();
    card_->resize(cardGeometry.size().toSize());
    const QPointF target = cardGeometry.topLeft();
    if (glide && QPointF(card_->pos()) != target) {
        if (cardMove_->state() == QAbstractAnimation::Running) {
            cardMove_->setEndValue(target);
        } else {
            cardMove_->setStartValue(QPointF(card_->pos()));
            cardMove_->setEndValue(target);
            cardMove_->start();
        }
    } else {
        cardMove_->stop();
        card_->move(target.toPoint());
    }
    update();
}

void WelcomeTourOverlay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath backdrop;
    backdrop.addRect(QRectF(rect()));
    if (displayedHole_) {
        QPainterPath hole;
        hole.addRoundedRect(*displayedHole_, holeRadius, holeRadius);
        backdrop = backdrop.subtracted(hole);
    }
    painter.fillPath(backdrop, black(0.7));

    // The card's shadow: black at 50 %, blurred by 20, 10 below the card.
    const QRectF shadow = QRectF(card_->geometry()).translated(0, 10);
    painter.setPen(Qt::NoPen);
    constexpr int layers = 10;
    for (int layer = layers; layer >= 1; --layer) {
        const double spread = 20.0 * layer / layers;
        painter.setBrush(black(0.5 / layers));
        painter.drawRoundedRect(shadow.adjusted(-spread / 2, -spread / 2, spread / 2, spread / 2),
                                cardRadius + spread / 2, cardRadius + spread / 2);
    }
}

void WelcomeTourOverlay::resizeEvent(QResizeEvent*) { place(); }

void WelcomeTourOverlay::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        mainAction();
        return;
    }
    QWidget::keyPressEvent(event);
}

// The backdrop takes every click and does nothing with it.
void WelcomeTourOverlay::mousePressEvent(QMouseEvent* event) { event->accept(); }
void WelcomeTourOverlay::mouseReleaseEvent(QMouseEvent* event) { event->accept(); }
void WelcomeTourOverlay::mouseDoubleClickEvent(QMouseEvent* event) { event->accept(); }
void WelcomeTourOverlay::wheelEvent(QWheelEvent* event) { event->accept(); }

}  // namespace tessaron::services
