#include "views/StepBackgroundView.hpp"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "viewer/SplatRendererView.hpp"
#include "views/Conversion360LiveView.hpp"
#include "views/FloatingPanel.hpp"
#include "views/Icons.hpp"
#include "views/PanelWidgets.hpp"
#include "views/PartitionVisualizerView.hpp"
#include "views/PresenceTransition.hpp"
#include "views/SfMAnimationView.hpp"
#include "views/SfMLivePointCloudView.hpp"

namespace tessaron::views {
namespace {

using viewmodel::PipelineViewModel;
using viewmodel::WorkflowStep;
using Kind = pipeline::PipelineState::Kind;

constexpr int capsuleBottom = 120;
// The hint comes in easing out and goes easing in.
constexpr int hintInMilliseconds = 200;
constexpr int hintOutMilliseconds = 300;
constexpr int framePadding = 12;
// What a centred text keeps free on each side within the free area.
constexpr int textMargin = 24;

// The widest a centred text may be in `area`: never less than a few words.
int textWidthIn(const QRect& area) { return std::max(120, area.width() - 2 * textMargin); }

// The left edge of something `width` wide centred in `area`.
int centredLeft(const QRect& area, int width) { return area.left() + (area.width() - width) / 2; }

// The first dropped URL that names a local file or folder.
std::optional<QUrl> firstFileURL(const QMimeData* data) {
    if (!data || !data->hasUrls()) return std::nullopt;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) return url;
    return std::nullopt;
}

}  // namespace

// The Input step's picture: a soft gradient and, while nothing runs, the
// hint that a model can be dropped anywhere.
class StepBackgroundView::Backdrop : public QWidget {
public:
    explicit Backdrop(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
    }
    void setShowsHint(bool shows) {
        if (showsHint_ == shows) return;
        showsHint_ = shows;
        update();
    }
    bool showsHint() const { return showsHint_; }
    void setFreeArea(const QRect& area) {
        if (freeArea_ == area) return;
        freeArea_ = area;
        update();
    }
    // Where the symbol and the text are drawn: centred in the free area,
    // the text wrapped to it.
    QRect hintRect() const {
        const QRect area = freeArea_.isValid() ? freeArea_ : rect();
        const int textWidth = textWidthIn(area);
        const QRect text = QFontMetrics(textFont()).boundingRect(QRect(0, 0, textWidth, 10000),
                                                                  Qt::AlignHCenter | Qt::TextWordWrap, hintText());
        const int height = symbolSide + 12 + text.height();
        const int width = std::max(symbolSide, text.width());
        return QRect(centredLeft(area, width), area.top() + (area.height() - height) / 2, width, height);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QLinearGradient gradient(0, 0, 0, height());
        gradient.setColorAt(0, QColor(0, 0, 0, int(0.15 * 255)));
        gradient.setColorAt(1, QColor(0, 0, 0, 0));
        painter.fillRect(rect(), gradient);
        if (!showsHint_) return;
        const QColor color = theme::color(theme::NamedColor::secondary, 0.5);
        const QRect hint = hintRect();
        drawSymbol(painter, Symbol::cubeTransparent,
                   QRectF(hint.left() + (hint.width() - symbolSide) / 2.0, hint.top(), symbolSide, symbolSide), color);
        painter.setPen(color);
        painter.setFont(textFont());
        painter.drawText(QRect(hint.left(), hint.top() + symbolSide + 12, hint.width(), hint.height()),
                         Qt::AlignHCenter | Qt::TextWordWrap, hintText());
    }

private:
    static constexpr int symbolSide = 44;
    static QFont textFont() { return theme::font(theme::TextStyle::callout); }
    static QString hintText() { return QStringLiteral("Drop a .ply / .spz / .splat anywhere to open the viewer"); }

    bool showsHint_ = true;
    QRect freeArea_;
};

// A headline on a thin capsule: the drag's text and the hint.
class StepBackgroundView::MessageCapsule : public FloatingPanel {
public:
    static constexpr int horizontalPadding = 16;
    static constexpr int verticalPadding = 8;

    explicit MessageCapsule(QWidget* parent) : FloatingPanel(-1, theme::Material::thin, parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(horizontalPadding, verticalPadding, horizontalPadding, verticalPadding);
        text_ = new QLabel(this);
        text_->setFont(theme::font(theme::TextStyle::headline));
        text_->setAlignment(Qt::AlignCenter);
        text_->setWordWrap(true);
        row->addWidget(text_);
    }
    void setText(const QString& text) { text_->setText(text); }
    QString text() const { return text_->text(); }
    // On one line when it fits in `maxWidth`, else wrapped to that width.
    QSize sizeFor(int maxWidth) const {
        const QFontMetrics metrics(text_->font());
        const int oneLine = metrics.horizontalAdvance(text_->text()) + 2 * horizontalPadding + 2;
        const int width = std::min(oneLine, maxWidth);
        const QRect text = metrics.boundingRect(QRect(0, 0, width - 2 * horizontalPadding, 10000),
                                                Qt::AlignCenter | Qt::TextWordWrap, text_->text());
        return QSize(width, text.height() + 2 * verticalPadding);
    }

private:
    QLabel* text_;
};

namespace {

// Lays `capsule` out centred on `area`'s middle, its bottom on `floor`.
void placeCapsule(QWidget& capsule, const QSize& size, const QRect& area, int floor) {
    capsule.setGeometry(centredLeft(area, size.width()), floor - size.height(), size.width(), size.height());
}

}  // namespace

// The dashed blue frame while a drag hovers over the pane, with its text.
class StepBackgroundView::DropFrame : public QWidget {
public:
    explicit DropFrame(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        capsule_ = new MessageCapsule(this);
        capsule_->setText(StepBackgroundView::dropText);
    }
    void setFreeArea(const QRect& area) {
        freeArea_ = area;
        layoutCapsule();
    }
    QWidget* capsule() const { return capsule_; }

protected:
    void resizeEvent(QResizeEvent*) override { layoutCapsule(); }
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF frame = QRectF(rect()).adjusted(framePadding, framePadding, -framePadding, -framePadding);
        QPainterPath shape;
        shape.addRoundedRect(frame, 24, 24);
        painter.fillPath(shape, theme::color(theme::NamedColor::blue, 0.06));
        // Stroked inside its edge: the line's middle lies 1.5 inside.
        QPen pen(theme::color(theme::NamedColor::blue, 0.8), 3, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
        pen.setDashPattern({12.0 / 3, 12.0 / 3});
        pen.setMiterLimit(10);
        painter.setPen(pen);
        QPainterPath inner;
        inner.addRoundedRect(frame.adjusted(1.5, 1.5, -1.5, -1.5), 22.5, 22.5);
        painter.drawPath(inner);
    }

private:
    void layoutCapsule() {
        const QRect area = freeArea_.isValid() ? freeArea_ : rect();
        placeCapsule(*capsule_, capsule_->sizeFor(textWidthIn(area)), area, height() - framePadding - capsuleBottom);
    }

    MessageCapsule* capsule_;
    QRect freeArea_;
};

StepBackgroundView::StepBackgroundView(PipelineViewModel& model, FinalViewerState& viewer, QWidget* parent)
    : QWidget(parent), model_(model), viewer_(viewer) {
    setAcceptDrops(true);
    setAttribute(Qt::WA_TranslucentBackground);

    dropFrame_ = new DropFrame(this);
    dropFrame_->hide();
    hint_ = new MessageCapsule(this);
    hint_->hide();
    hintTransition_ = new PresenceTransition(*hint_, hintInMilliseconds, QEasingCurve::OutQuad, hintOutMilliseconds,
                                             QEasingCurve::InQuad);
    hintTransition_->onPresenceChanged = [this](double) { layoutOverlays(); };
    errorBadge_ = new FloatingPanel(6, theme::Material::ultraThin, this);
    auto* errorRow = new QHBoxLayout(errorBadge_);
    errorRow->setContentsMargins(8, 8, 8, 8);
    errorText_ = styledLabel(QString(), theme::TextStyle::callout, theme::NamedColor::red);
    errorRow->addWidget(errorText_);
    errorBadge_->hide();

    hintDismiss_.setSingleShot(true);
    hintDismiss_.setInterval(hintMilliseconds);
    connect(&hintDismiss_, &QTimer::timeout, this, [this] {
        transientHint_.reset();
        hintTransition_->setPresent(false);
    });

    for (auto signal : {&PipelineViewModel::currentStateChanged, &PipelineViewModel::isBusyChanged,
                        &PipelineViewModel::treatAs360Changed, &PipelineViewModel::latestSfMSnapshotChanged,
                        &PipelineViewModel::colmapSparseDirChanged, &PipelineViewModel::totalCellsChanged,
                        &PipelineViewModel::currentCellIndexChanged, &PipelineViewModel::outputPlyPathChanged,
                        &PipelineViewModel::cancelledRunChanged, &PipelineViewModel::failedRunChanged})
        connect(&model_, signal, this, &StepBackgroundView::refresh);
    connect(&viewer_, &FinalViewerState::urlChanged, this, &StepBackgroundView::refresh);
    connect(&viewer_, &FinalViewerState::orbitChanged, this, &StepBackgroundView::refresh);
    refresh();
}

StepBackgroundView::~StepBackgroundView() = default;

const std::set<QString>& StepBackgroundView::modelExtensions() {
    static const std::set<QString> extensions{QStringLiteral("ply"), QStringLiteral("spz"), QStringLiteral("splat")};
    return extensions;
}

StepBackgroundView::DropKind StepBackgroundView::classify(const QUrl& url) {
    const QString path = url.toLocalFile();
    const QFileInfo info(path);
    if (modelExtensions().count(info.suffix().toLower())) return DropKind::model;
    // A path the file system cannot answer for is a folder when it ends
    // with a separator.
    if (info.exists() ? info.isDir() : path.endsWith(QLatin1Char('/'))) return DropKind::folder;
    // By the file's extension alone, as the drop names it.
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    if (type.isValid() && type.name().startsWith(QLatin1String("video/"))) return DropKind::video;
    return DropKind::other;
}

std::optional<int> StepBackgroundView::trainingHighlight(qint64 totalCells, qint64 currentCellIndex) {
    if (totalCells < 2 || currentCellIndex < 1) return std::nullopt;
    return int(currentCellIndex - 1);
}

std::optional<std::filesystem::path> StepBackgroundView::modelFile(const QUrl& chosen,
                                                                  const viewmodel::OptionalText& output) {
    if (!chosen.isEmpty()) return std::filesystem::path(chosen.toLocalFile().toStdString());
    if (output && !output->isEmpty()) return std::filesystem::path(output->toStdString());
    return std::nullopt;
}

void StepBackgroundView::setStep(WorkflowStep step) {
    if (step_ == step) return;
    step_ = step;
    // A step shown anew starts its partition view anew, as a view made for
    // it would: the cloud looked up again, no turn for a plan already there.
    if (contentKind_ == Content::partition && content_ && wantedContent() == Content::partition)
        static_cast<PartitionVisualizerView*>(content_)->reset();
    refresh();
}

StepBackgroundView::Content StepBackgroundView::wantedContent() const {
    const Kind state = model_.currentState().kind;
    switch (step_) {
    case WorkflowStep::input:
        return state == Kind::extractingFrames && model_.treatAs360() ? Content::conversion360 : Content::inputBackdrop;
    case WorkflowStep::sfm: return model_.latestSfMSnapshot() ? Content::sfmLive : Content::sfmAnimation;
    case WorkflowStep::planning:
    case WorkflowStep::training: return model_.colmapSparseDir() ? Content::partition : Content::message;
    case WorkflowStep::final:
        return modelFile(viewer_.url(), model_.outputPlyPath()) ? Content::viewer : Content::message;
    }
    return Content::message;
}

QString StepBackgroundView::message() const {
    if (contentKind_ != Content::message) return {};
    return message_->text();
}

void StepBackgroundView::refresh() {
    const Content wanted = wantedContent();
    if (!content_ || wanted != contentKind_) replaceContent(wanted);
    refreshContent();
    refreshViewer();
}

void StepBackgroundView::replaceContent(Content kind) {
    if (content_) {
        content_->hide();
        content_->deleteLater();
    }
    message_ = nullptr;
    contentKind_ = kind;
    switch (kind) {
    case Content::conversion360: content_ = new Conversion360LiveView(model_, this); break;
    case Content::inputBackdrop: content_ = new Backdrop(this); break;
    case Content::sfmLive: content_ = new SfMLivePointCloudView(this); break;
    case Content::sfmAnimation: content_ = new SfMAnimationView(this); break;
    case Content::partition: content_ = new PartitionVisualizerView(model_, this); break;
    case Content::message: {
        message_ = styledLabel(QString(), theme::TextStyle::callout, theme::NamedColor::secondary, theme::Weight::regular,
                               this);
        message_->setAlignment(Qt::AlignCenter);
        message_->setWordWrap(true);
        message_->setAttribute(Qt::WA_TransparentForMouseEvents);
        content_ = message_;
        break;
    }
    case Content::viewer: {
        auto* view = new viewer::SplatRendererView(this);
        view->setClearColor({0, 0, 0, 1});
        // The viewer reports from its own loop; the values land here, on
        // the main thread, and only while the pane lives and still shows
        // this viewer: a model no longer shown leaves no figures behind.
        view->setOnStatsUpdate([this, source = QPointer<QWidget>(view)](const viewer::SplatViewerStats& stats) {
            QMetaObject::invokeMethod(
                this,
                [this, source, stats] {
                    if (source && source == content_) viewer_.setStats(stats);
                },
                Qt::QueuedConnection);
        });
        view->setOnLoadError([this](const QString& message) {
            QMetaObject::invokeMethod(this, [this, message] { setViewerError(message); }, Qt::QueuedConnection);
        });
        content_ = view;
        break;
    }
    }
    layoutContent();
    content_->lower();
    content_->show();
    emit contentChanged();
}

void StepBackgroundView::refreshContent() {
    const Kind state = model_.currentState().kind;
    switch (contentKind_) {
    case Content::inputBackdrop: static_cast<Backdrop*>(content_)->setShowsHint(!model_.isBusy()); break;
    case Content::sfmLive: static_cast<SfMLivePointCloudView*>(content_)->setSnapshot(model_.latestSfMSnapshot()); break;
    case Content::sfmAnimation: static_cast<SfMAnimationView*>(content_)->setRunning(state == Kind::processingSfM); break;
    case Content::partition:
        static_cast<PartitionVisualizerView*>(content_)->setHighlightedCell(
            step_ == WorkflowStep::training ? trainingHighlight(model_.totalCells(), model_.currentCellIndex())
                                            : std::nullopt);
        break;
    case Content::message:
        if (step_ == WorkflowStep::final) {
            if (state == Kind::exporting)
                message_->setText(QStringLiteral("Exporting the trained model\u2026"));
            else if (state == Kind::error)
                // Names the step that failed.
                message_->setText(model_.failedRun().value_or(viewmodel::FailedRun{}).note());
            else if (const viewmodel::OptionalCancelledRun& cancelled = model_.cancelledRun())
                // No model will come of a cancelled run.
                message_->setText(cancelled->note() + QStringLiteral("\nDrop a .ply / .spz / .splat anywhere to view "
                                                                     "a model."));
            else
                message_->setText(QStringLiteral("The trained model will appear here \u2014 or drop a .ply / .spz / "
                                                 ".splat anywhere to view it."));
        } else if (const viewmodel::OptionalCancelledRun& cancelled = model_.cancelledRun()) {
            // A cancelled run makes no reconstruction to wait for.
            message_->setText(cancelled->note());
        } else {
            message_->setText(QStringLiteral("Waiting for the reconstruction\u2026"));
        }
        break;
    case Content::conversion360:
    case Content::viewer: break;
    }
}

void StepBackgroundView::refreshViewer() {
    const auto file = modelFile(viewer_.url(), model_.outputPlyPath());
    // A new model clears the previous one's error; the first one has none.
    if (file != shownModel_) {
        if (shownModel_) setViewerError(std::nullopt);
        shownModel_ = file;
    }
    if (contentKind_ == Content::viewer && file) {
        auto* view = static_cast<viewer::SplatRendererView*>(content_);
        view->setOrbitMode(viewer_.orbit());
        view->setFileURL(*file);
    }
    errorBadge_->setVisible(viewerError_.has_value() && contentKind_ == Content::viewer);
    layoutOverlays();
}

void StepBackgroundView::setViewerError(std::optional<QString> error) {
    viewerError_ = std::move(error);
    errorText_->setText(viewerError_.value_or(QString()));
    errorBadge_->setVisible(viewerError_.has_value() && contentKind_ == Content::viewer);
    layoutOverlays();
}

QWidget* StepBackgroundView::hintCapsule() const { return hint_; }
QWidget* StepBackgroundView::dropFrame() const { return dropFrame_; }
QWidget* StepBackgroundView::viewerErrorBadge() const { return errorBadge_; }

viewer::SplatRendererView* StepBackgroundView::viewerView() const {
    return contentKind_ == Content::viewer ? static_cast<viewer::SplatRendererView*>(content_) : nullptr;
}

void StepBackgroundView::showTransientHint(const QString& message) {
    transientHint_ = message;
    hint_->setText(message);
    hint_->raise();
    hintTransition_->setPresent(true);
    layoutOverlays();
    // A new hint replaces the shown one and stays its full time.
    hintDismiss_.start();
}

void StepBackgroundView::setDropTargeted(bool targeted) {
    dropTargeted_ = targeted;
    dropFrame_->setVisible(targeted);
    if (targeted) dropFrame_->raise();
}

bool StepBackgroundView::dragEntered(const QMimeData* data) {
    if (!firstFileURL(data)) return false;
    setDropTargeted(true);
    return true;
}

void StepBackgroundView::dragLeft() { setDropTargeted(false); }

bool StepBackgroundView::dropped(const QMimeData* data) {
    setDropTargeted(false);
    const std::optional<QUrl> url = firstFileURL(data);
    if (!url) return false;
    // Looked at once the drop itself has ended.
    QMetaObject::invokeMethod(this, [this, url = *url] { classifyDrop(url); }, Qt::QueuedConnection);
    return true;
}

void StepBackgroundView::dragEnterEvent(QDragEnterEvent* event) {
    if (dragEntered(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void StepBackgroundView::dragLeaveEvent(QDragLeaveEvent* event) {
    dragLeft();
    QWidget::dragLeaveEvent(event);
}

void StepBackgroundView::dropEvent(QDropEvent* event) {
    if (dropped(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void StepBackgroundView::classifyDrop(const QUrl& url) {
    const DropKind kind = classify(url);
    switch (kind) {
    case DropKind::model:
        // Viewing a model leaves a running reconstruction as it is.
        if (onModelDropped) onModelDropped(url);
        return;
    case DropKind::folder:
    case DropKind::video:
        // A busy run's input stays as it is.
        if (model_.isBusy()) {
            showTransientHint(busyHint);
            return;
        }
        if (onDatasetDropped)
            onDatasetDropped(std::filesystem::path(url.toLocalFile().toStdString()), kind == DropKind::video);
        return;
    case DropKind::other: showTransientHint(otherHint); return;
    }
}

void StepBackgroundView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutContent();
    dropFrame_->setGeometry(rect());
    layoutOverlays();
}

void StepBackgroundView::setFreeArea(const QRect& area) {
    if (freeArea_ == area) return;
    freeArea_ = area;
    layoutContent();
    layoutOverlays();
}

QRect StepBackgroundView::freeArea() const { return freeArea_.value_or(rect()).intersected(rect()); }

bool StepBackgroundView::showsDarkContent() const {
    switch (contentKind_) {
    case Content::sfmLive:
    case Content::sfmAnimation:
    case Content::partition:
    case Content::viewer: return true;
    case Content::conversion360:
    case Content::inputBackdrop:
    case Content::message: return false;
    }
    return false;
}

void StepBackgroundView::layoutContent() {
    if (!content_) return;
    const QRect area = freeArea();
    switch (contentKind_) {
    case Content::message:
        // A long message wraps rather than running under the menu.
        content_->setGeometry(centredLeft(area, textWidthIn(area)), area.top(), textWidthIn(area),
                              area.height());
        return;
    case Content::inputBackdrop: static_cast<Backdrop*>(content_)->setFreeArea(area); break;
    case Content::conversion360: static_cast<Conversion360LiveView*>(content_)->setFreeArea(area); break;
    case Content::sfmLive:
    case Content::sfmAnimation:
    case Content::partition:
    case Content::viewer: break;
    }
    content_->setGeometry(rect());
}

void StepBackgroundView::layoutOverlays() {
    const QRect area = freeArea();
    // It rises from the pane's bottom edge as it fades in.
    const QSize hintSize = hint_->sizeFor(textWidthIn(area));
    const double hintAbsence = 1 - hintTransition_->presence();
    placeCapsule(*hint_, hintSize, area,
                 height() - capsuleBottom + int(std::lround(hintAbsence * (capsuleBottom + hintSize.height()))));
    dropFrame_->setFreeArea(area);
    const int badgeWidth = std::min(errorBadge_->sizeHint().width(), std::max(0, area.width() - 24));
    errorBadge_->setGeometry(centredLeft(area, badgeWidth), area.top() + 12, badgeWidth,
                             errorBadge_->heightForWidth(badgeWidth) > 0 ? errorBadge_->heightForWidth(badgeWidth)
                                                                         : errorBadge_->sizeHint().height());
    errorBadge_->raise();
    hint_->raise();
    if (dropTargeted_) dropFrame_->raise();
}

}  // namespace tessaron::views
