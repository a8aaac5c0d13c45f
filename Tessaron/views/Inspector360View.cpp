#include "views/Inspector360View.hpp"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "input/Spherical360Detection.hpp"
#include "views/Icons.hpp"
#include "views/PanelWidgets.hpp"
#include "views/SoftShadow.hpp"
#include "views/Theme.hpp"

namespace tessaron::views {

namespace {

using viewmodel::PipelineViewModel;

constexpr int panelMargin = 40;
constexpr double panelRadius = 20;
constexpr int gridMinimumColumn = 150;
constexpr int gridSpacing = 12;
constexpr int cellSpacing = 4;
constexpr double thumbnailRadius = 8;
constexpr int symbolSide = 20;
enum Page { loadingPage, errorPage, contentPage };

QLabel* textLabel(const QString& text, theme::TextStyle style, QWidget* parent,
                  theme::Weight weight = theme::Weight::regular) {
    auto* label = new QLabel(text, parent);
    label->setFont(theme::font(style, weight));
    return label;
}

// The panel's own surface; it takes the clicks it gets, so that only a click
// on the backdrop closes the panel.
class PanelSurface : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath path;
        path.addRoundedRect(shape, panelRadius, panelRadius);
        painter.fillPath(path, theme::windowBackground());
        painter.setPen(QPen(theme::color(theme::NamedColor::primary, 0.12), 1));
        painter.drawPath(path);
    }
    void mousePressEvent(QMouseEvent* event) override { event->accept(); }
};

// The frame with every crop's footprint drawn over it.
class FrameFootprintView : public QWidget {
public:
    FrameFootprintView(const Inspector360View& inspector, QWidget* parent) : QWidget(parent), inspector_(inspector) {
        setFixedHeight(Inspector360View::frameViewHeight);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const auto& frame = inspector_.equirectImage();
        if (!frame || frame->isNull()) return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const double scale = std::min(double(width()) / frame->width(), double(height()) / frame->height());
        painter.drawImage(QRectF(0, 0, frame->width() * scale, frame->height() * scale), *frame);
        const auto& footprints = inspector_.footprints();
        for (std::size_t crop = 0; crop < footprints.size(); ++crop) {
            const auto stroke = Inspector360View::footprintStroke(crop, inspector_.selectedCrop());
            painter.setPen(QPen(stroke.color, stroke.width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            for (const auto& polyline : footprints[crop]) {
                if (polyline.size() < 2) continue;
                QPolygonF line;
                for (const cv::Point2d& point : polyline) line << QPointF(point.x * scale, point.y * scale);
                painter.drawPolyline(line);
            }
        }
    }

private:
    const Inspector360View& inspector_;
};

// Adaptive columns of at least 150 pixels: each cell a square thumbnail
// with its camera label, and the crop's angles under it.
class CropGridView : public QWidget {
public:
    CropGridView(Inspector360View& inspector, QWidget* parent) : QWidget(parent), inspector_(inspector) {
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    static int columns(int width) { return std::max(1, (width + gridSpacing) / (gridMinimumColumn + gridSpacing)); }
    int captionHeight() const { return QFontMetrics(theme::font(theme::TextStyle::caption2)).height(); }
    int rowHeight(int width) const {
        const int n = columns(width);
        const int column = (width - gridSpacing * (n - 1)) / n;
        return column + cellSpacing + captionHeight();
    }
    int heightForWidth(int width) const override {
        const auto count = int(inspector_.layoutCrops().size());
        const int rows = (count + columns(width) - 1) / columns(width);
        return rows > 0 ? rows * rowHeight(width) + (rows - 1) * gridSpacing : 0;
    }
    bool hasHeightForWidth() const override { return true; }
    QSize sizeHint() const override { return {4 * gridMinimumColumn, heightForWidth(4 * gridMinimumColumn)}; }

    QRect cellRect(std::size_t index) const {
        const int n = columns(width());
        const int column = (width() - gridSpacing * (n - 1)) / n;
        const int row = int(index) / n, col = int(index) % n;
        return {col * (column + gridSpacing), row * (rowHeight(width()) + gridSpacing), column, rowHeight(width())};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const auto& crops = inspector_.layoutCrops();
        for (std::size_t i = 0; i < crops.size(); ++i) paintCell(painter, i, crops[i]);
    }

    void mousePressEvent(QMouseEvent* event) override {
        const auto& crops = inspector_.layoutCrops();
        for (std::size_t i = 0; i < crops.size(); ++i)
            if (cellRect(i).contains(event->position().toPoint())) {
                inspector_.toggleSelection(int(i));
                return;
            }
    }

private:
    void paintCell(QPainter& painter, std::size_t index, const input::CropSpec& crop) {
        const QRect cell = cellRect(index);
        const QRectF thumb(cell.left(), cell.top(), cell.width(), cell.width());
        QPainterPath shape;
        shape.addRoundedRect(thumb, thumbnailRadius, thumbnailRadius);
        painter.save();
        painter.setClipPath(shape);
        if (const QImage* image = inspector_.thumbnail(index)) {
            const QSizeF fitted = QSizeF(image->size()).scaled(thumb.size(), Qt::KeepAspectRatioByExpanding);
            painter.drawImage(QRectF(thumb.center() - QPointF(fitted.width() / 2, fitted.height() / 2), fitted), *image);
        } else {
            painter.fillRect(thumb, theme::color(theme::NamedColor::gray, 0.15));
        }
        // The camera's label in the top leading corner.
        const QFont labelFont = theme::monospacedFont(theme::TextStyle::caption2);
        const QString label = QStringLiteral("cam") + QString::number(crop.id);
        const QFontMetricsF metrics(labelFont);
        const QRectF badge(thumb.left() + 4, thumb.top() + 4, metrics.horizontalAdvance(label) + 10,
                           metrics.height() + 4);
        painter.setPen(Qt::NoPen);
        QColor badgeColor = Inspector360View::cropColor(index);
        badgeColor.setAlphaF(0.85f);
        painter.setBrush(badgeColor);
        painter.drawRoundedRect(badge, 4, 4);
        painter.setFont(labelFont);
        painter.setPen(Qt::white);
        painter.drawText(badge, Qt::AlignCenter, label);
        painter.restore();

        if (inspector_.selectedCrop() == int(index)) {
            painter.setPen(QPen(theme::color(theme::NamedColor::blue), 2));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(thumb.adjusted(1, 1, -1, -1), thumbnailRadius, thumbnailRadius);
        }
        painter.setFont(theme::font(theme::TextStyle::caption2));
        painter.setPen(theme::color(theme::NamedColor::secondary));
        painter.drawText(QRectF(cell.left(), thumb.bottom() + cellSpacing, cell.width(), captionHeight()),
                         Qt::AlignLeft | Qt::AlignVCenter, Inspector360View::cropCaption(crop));
    }

    Inspector360View& inspector_;
};

}  // namespace

Inspector360View::Inspector360View(PipelineViewModel& model, QWidget* parent)
    : Inspector360View(model, viewmodel::Inspector360Loader::Options{}, parent) {}

Inspector360View::Inspector360View(PipelineViewModel& model, viewmodel::Inspector360Loader::Options options,
                                   QWidget* parent)
    : QWidget(parent), model_(model), loader_(std::move(options)),
      layout_(model.cropLayoutPreset(), cropSize, fovDegrees) {
    buildPanel();
    bindModel();
    if (model_.show360Inspector()) opened();
}

Inspector360View::~Inspector360View() = default;

const std::vector<QColor>& Inspector360View::cropPalette() {
    using theme::NamedColor;
    static const std::vector<QColor> palette = [] {
        const QColor red = theme::color(NamedColor::red), orange = theme::color(NamedColor::orange),
                     yellow = theme::color(NamedColor::yellow), green = theme::color(NamedColor::green),
                     cyan = theme::color(NamedColor::cyan), blue = theme::color(NamedColor::blue);
        const QColor mint(0x00, 0xc7, 0xbe), teal(0x30, 0xb0, 0xc7), indigo(0x58, 0x56, 0xd6),
            purple(0xaf, 0x52, 0xde), pink(0xff, 0x2d, 0x55), brown(0xa2, 0x84, 0x5e);
        return std::vector<QColor>{red,    orange, yellow, green, mint,  teal,  cyan,  blue,
                                   indigo, purple, pink,   brown, red,   green, blue,  orange};
    }();
    return palette;
}

QColor Inspector360View::cropColor(std::size_t cropIndex) { return cropPalette()[cropIndex % cropPalette().size()]; }

QString Inspector360View::loadKey(const PipelineViewModel& model) {
    const QString path =
        model.selectedInputURL() ? QString::fromStdString(model.selectedInputURL()->string()) : QString();
    return path + QStringLiteral("|") + QString::fromStdString(input::toString(model.cropLayoutPreset())) +
           QStringLiteral("|") + QString::fromStdString(input::toString(model.personMaskMode()));
}

Inspector360View::Stroke Inspector360View::footprintStroke(std::size_t cropIndex, std::optional<int> selectedCrop) {
    const bool bright = !selectedCrop || *selectedCrop == int(cropIndex);
    QColor color = cropColor(cropIndex);
    color.setAlphaF(bright ? 0.95f : 0.25f);
    return {color, bright ? 2.0 : 1.0};
}

QString Inspector360View::cropCaption(const input::CropSpec& crop) {
    return QStringLiteral("yaw %1° · pitch %2°")
        .arg(qint64(std::trunc(crop.yawDegrees)))
        .arg(qint64(std::trunc(crop.pitchDegrees)));
}

const QImage* Inspector360View::thumbnail(std::size_t cropIndex) const {
    if (showMasks_ && cropIndex < maskedCrops_.size() && maskedCrops_[cropIndex]) return &*maskedCrops_[cropIndex];
    if (cropIndex < crops_.size()) return &crops_[cropIndex];
    return nullptr;
}

QRect Inspector360View::cropCellRect(std::size_t cropIndex) const {
    return static_cast<CropGridView*>(grid_)->cellRect(cropIndex);
}

void Inspector360View::toggleSelection(int cropIndex) {
    selectedCrop_ = selectedCrop_ == cropIndex ? std::nullopt : std::optional(cropIndex);
    grid_->update();
    frameView_->update();
}

void Inspector360View::closePanel() { model_.setShow360Inspector(false); }

void Inspector360View::buildPanel() {
    panel_ = new PanelSurface(this);
    auto* column = new QVBoxLayout(panel_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // The header: symbol, title and status, the layout picker, close.
    auto* header = new QHBoxLayout;
    header->setContentsMargins(20, 20, 20, 20);
    header->setSpacing(12);
    header->addWidget(new SymbolView(Symbol::globe, symbolSide, theme::color(theme::NamedColor::blue), panel_), 0,
                      Qt::AlignVCenter);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(textLabel(QStringLiteral("360° Inspector"), theme::TextStyle::title3, panel_, theme::Weight::bold));
    status_ = textLabel({}, theme::TextStyle::caption, panel_);
    status_->setObjectName(QStringLiteral("statusText"));
    setTextColor(status_, theme::color(theme::NamedColor::secondary));
    titles->addWidget(status_);
    header->addLayout(titles);
    header->addStretch(1);

    auto* picker = new QWidget(panel_);
    picker->setObjectName(QStringLiteral("layoutPicker"));
    auto* segments = new QHBoxLayout(picker);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    auto* group = new QButtonGroup(picker);
    group->setExclusive(true);
    for (input::CropLayoutPreset preset : input::allCropLayoutPresets()) {
        auto* segment = new QToolButton(picker);
        segment->setText(QString::fromStdString(input::displayName(preset)));
        segment->setCheckable(true);
        segment->setFont(theme::font(theme::TextStyle::callout));
        group->addButton(segment);
        segments->addWidget(segment);
        presetButtons_.push_back(segment);
        connect(segment, &QToolButton::clicked, this, [this, preset] { model_.setCropLayoutPreset(preset); });
    }
    picker->setStyleSheet(QStringLiteral(
        "QToolButton { border: 1px solid palette(mid); background: palette(button); padding: 3px 12px; }"
        "QToolButton:checked { background: palette(highlight); color: palette(highlighted-text); }"));
    header->addWidget(picker, 0, Qt::AlignVCenter);

    auto* closeButton = new QToolButton(panel_);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setAutoRaise(true);
    closeButton->setToolTip(QStringLiteral("Close"));
    closeButton->setIcon(symbolIcon(Symbol::xmarkCircleFill, QSize(symbolSide, symbolSide),
                                    theme::color(theme::NamedColor::secondary)));
    closeButton->setIconSize(QSize(symbolSide, symbolSide));
    connect(closeButton, &QToolButton::clicked, this, &Inspector360View::closePanel);
    header->addWidget(closeButton, 0, Qt::AlignVCenter);
    column->addLayout(header);

    auto* divider = new QFrame(panel_);
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette dividerPalette = divider->palette();
    dividerPalette.setColor(QPalette::Window, theme::color(theme::NamedColor::gray, 0.3));
    divider->setPalette(dividerPalette);
    column->addWidget(divider);

    body_ = new QStackedWidget(panel_);
    column->addWidget(body_, 1);

    auto* loading = new QWidget(body_);
    auto* loadingColumn = new QVBoxLayout(loading);
    loadingColumn->setSpacing(14);
    loadingColumn->addStretch(1);
    loadingColumn->addWidget(new ActivitySpinner(20, loading), 0, Qt::AlignHCenter);
    auto* loadingText = textLabel(QStringLiteral("Rendering crops from the first frame…"), theme::TextStyle::callout, loading);
    setTextColor(loadingText, theme::color(theme::NamedColor::secondary));
    loadingColumn->addWidget(loadingText, 0, Qt::AlignHCenter);
    loadingColumn->addStretch(1);
    body_->insertWidget(loadingPage, loading);

    auto* failure = new QWidget(body_);
    auto* failureColumn = new QVBoxLayout(failure);
    failureColumn->setContentsMargins(40, 40, 40, 40);
    failureColumn->setSpacing(12);
    failureColumn->addStretch(1);
    failureColumn->addWidget(
        new SymbolView(Symbol::exclamationmarkTriangleFill, 30, theme::color(theme::NamedColor::orange), failure), 0,
        Qt::AlignHCenter);
    errorText_ = textLabel({}, theme::TextStyle::callout, failure);
    errorText_->setObjectName(QStringLiteral("errorText"));
    errorText_->setWordWrap(true);
    errorText_->setAlignment(Qt::AlignHCenter);
    failureColumn->addWidget(errorText_);
    failureColumn->addStretch(1);
    body_->insertWidget(errorPage, failure);

    auto* scroll = new QScrollArea(body_);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    auto* content = new QWidget;
    content->setAutoFillBackground(false);
    auto* contentColumn = new QVBoxLayout(content);
    contentColumn->setContentsMargins(20, 20, 20, 20);
    contentColumn->setSpacing(20);
    auto* frameSection = new QVBoxLayout;
    frameSection->setSpacing(8);
    frameHeading_ = textLabel({}, theme::TextStyle::headline, content);
    frameHeading_->setObjectName(QStringLiteral("frameHeading"));
    frameSection->addWidget(frameHeading_);
    frameView_ = new FrameFootprintView(*this, content);
    frameSection->addWidget(frameView_);
    contentColumn->addLayout(frameSection);
    auto* cropsHeading = new QHBoxLayout;
    cropsHeading->addWidget(textLabel(QStringLiteral("Perspective crops"), theme::TextStyle::headline, content));
    cropsHeading->addStretch(1);
    showMasksSwitch_ = new QCheckBox(QStringLiteral("Show masks"), content);
    showMasksSwitch_->setFont(theme::font(theme::TextStyle::callout));
    connect(showMasksSwitch_, &QCheckBox::toggled, this, [this](bool on) {
        showMasks_ = on;
        grid_->update();
    });
    cropsHeading->addWidget(showMasksSwitch_);
    contentColumn->addLayout(cropsHeading);
    grid_ = new CropGridView(*this, content);
    contentColumn->addWidget(grid_);
    contentColumn->addStretch(1);
    scroll->setWidget(content);
    body_->insertWidget(contentPage, scroll);
}

void Inspector360View::bindModel() {
    connect(&model_, &PipelineViewModel::show360InspectorChanged, this, [this] {
        if (model_.show360Inspector())
            opened();
        else {
            // Closed: whatever is still rendering is dropped.
            loader_.cancel();
            loadedKey_.reset();
        }
    });
    connect(&model_, &PipelineViewModel::spherical360DetectionChanged, this, &Inspector360View::refreshHeader);
    for (auto signal : {&PipelineViewModel::selectedInputURLChanged, &PipelineViewModel::cropLayoutPresetChanged,
                        &PipelineViewModel::personMaskModeChanged})
        connect(&model_, signal, this, [this] {
            refreshLayout();
            if (model_.show360Inspector() && loadedKey_ != loadKey(model_)) startLoad();
        });
    connect(&loader_, &viewmodel::Inspector360Loader::loaded, this, &Inspector360View::published);
    connect(&loader_, &viewmodel::Inspector360Loader::failed, this, [this](const QString& message) {
        loadError_ = message;
        isLoading_ = false;
        refreshBody();
    });
    refreshHeader();
    refreshLayout();
    refreshBody();
}

void Inspector360View::opened() {
    equirectImage_.reset();
    crops_.clear();
    maskedCrops_.clear();
    footprints_.clear();
    isLoading_ = true;
    loadError_.reset();
    showMasks_ = false;
    selectedCrop_.reset();
    {
        const QSignalBlocker quiet(showMasksSwitch_);
        showMasksSwitch_->setChecked(false);
    }
    refreshLayout();
    startLoad();
}

void Inspector360View::startLoad() {
    loadedKey_ = loadKey(model_);
    const auto& input = model_.selectedInputURL();
    if (!input) {
        loader_.cancel();
        loadError_ = QStringLiteral("No input selected.");
        isLoading_ = false;
        refreshBody();
        return;
    }
    isLoading_ = true;
    loadError_.reset();
    loader_.load({.input = *input, .preset = model_.cropLayoutPreset(), .maskMode = model_.personMaskMode()});
    refreshBody();
}

void Inspector360View::published(const std::shared_ptr<const viewmodel::Inspector360Rendering>& rendering) {
    equirectImage_ = rendering->equirect;
    crops_ = rendering->crops;
    footprints_ = rendering->footprints;
    maskedCrops_ = rendering->maskedCrops;
    isLoading_ = false;
    refreshBody();
}

void Inspector360View::refreshHeader() {
    status_->setText(QString::fromStdString(input::inspectorStatusText(model_.spherical360Detection())));
}

void Inspector360View::refreshLayout() {
    const input::CropLayoutPreset preset = model_.cropLayoutPreset();
    if (layout_.preset != preset) layout_ = input::CropLayout(preset, cropSize, fovDegrees);
    const auto& presets = input::allCropLayoutPresets();
    for (std::size_t i = 0; i < presets.size(); ++i) presetButtons_[i]->setChecked(presets[i] == preset);
    frameHeading_->setText(QStringLiteral("Equirectangular frame · %1 crop footprints").arg(layout_.crops.size()));
    showMasksSwitch_->setVisible(model_.personMaskMode() != input::PersonMaskMode::off);
    grid_->updateGeometry();
    grid_->update();
}

void Inspector360View::refreshBody() {
    if (isLoading_)
        body_->setCurrentIndex(loadingPage);
    else if (loadError_) {
        errorText_->setText(*loadError_);
        body_->setCurrentIndex(errorPage);
    } else
        body_->setCurrentIndex(contentPage);
    frameView_->update();
    grid_->updateGeometry();
    grid_->update();
}

void Inspector360View::resizeEvent(QResizeEvent*) { layoutPanel(); }

void Inspector360View::layoutPanel() {
    const int w = std::max(0, std::min(maxPanelWidth, width() - 2 * panelMargin));
    const int h = std::max(0, std::min(maxPanelHeight, height() - 2 * panelMargin));
    panel_->setGeometry((width() - w) / 2, (height() - h) / 2, w, h);
    // The scrolling content ends at the rounded corners, not past them.
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, 0, w, h), panelRadius, panelRadius);
    panel_->setMask(QRegion(shape.toFillPolygon().toPolygon()));
}

void Inspector360View::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 140));
    paintSoftShadow(painter, QRectF(panel_->geometry()), panelRadius, QColor(0, 0, 0, 89), 30, QPointF(0, 12));
}

void Inspector360View::mousePressEvent(QMouseEvent* event) {
    // Clicks inside the panel stop at its surface; this is the backdrop.
    event->accept();
    closePanel();
}

}  // namespace tessaron::views
