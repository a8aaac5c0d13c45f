#include "viewer/SplatConverterView.hpp"

#include <QComboBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "viewer/ConverterModel.hpp"
#include "viewer/DropZone.hpp"
#include "viewer/ElidedLabel.hpp"
#include "viewer/SymbolIcon.hpp"
#include "viewer/ViewStyle.hpp"

namespace tessaron::viewer {

namespace {

constexpr int emptyDropZoneHeight = 88;
constexpr int filledDropZoneHeight = 64;
constexpr int maxListHeight = 120;
constexpr int rowSymbolSize = 14;

// An indeterminate progress indicator: an arc that turns while shown.
class BusyIndicator : public QWidget {
public:
    BusyIndicator(int size, QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("busyIndicator"));
        setFixedSize(size, size);
        timer_.setInterval(80);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            angle_ = (angle_ + 30) % 360;
            update();
        });
    }

protected:
    void showEvent(QShowEvent*) override { timer_.start(); }
    void hideEvent(QHideEvent*) override { timer_.stop(); }
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal penWidth = std::max(1.5, width() / 8.0);
        QRectF circle = QRectF(rect()).adjusted(penWidth, penWidth, -penWidth, -penWidth);
        QColor track = ViewStyle::secondaryColor(palette());
        track.setAlphaF(0.3f);
        painter.setPen(QPen(track, penWidth));
        painter.drawEllipse(circle);
        QColor arc = palette().color(QPalette::WindowText);
        arc.setAlphaF(0.7f);
        painter.setPen(QPen(arc, penWidth, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(circle, -angle_ * 16, 100 * 16);
    }

private:
    QTimer timer_;
    int angle_ = 0;
};

QLabel* symbolLabel(Symbol symbol, const QColor& color, int size, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(SymbolIcon::pixmap(symbol, color, size, parent->devicePixelRatioF()));
    label->setFixedSize(size, size);
    return label;
}

QString fileCountText(std::size_t count) {
    return QString::number(qulonglong(count)) + QStringLiteral(" file") + (count == 1 ? QString() : QStringLiteral("s"));
}

// The formats the picker offers: those our own converter writes.
constexpr std::array<engines::SplatOutputFormat, 3> offeredFormats{engines::SplatOutputFormat::spz, engines::SplatOutputFormat::splat,
                                                         engines::SplatOutputFormat::plyAscii};

}  // namespace

SplatConverterView::SplatConverterView(const std::optional<std::filesystem::path>& initialURL, QWidget* parent)
    : SplatConverterView(ConverterModel::create(initialURL), parent) {}

SplatConverterView::SplatConverterView(std::shared_ptr<ConverterModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {
    build();
    connect(model_.get(), &ConverterModel::queueChanged, this, [this] {
        refreshHeader();
        rebuildRows();
        refreshControls();
        settleLayout();
    });
    connect(model_.get(), &ConverterModel::formatChanged, this, [this] {
        refreshControls();
        settleLayout();
    });
    connect(model_.get(), &ConverterModel::isRunningChanged, this, [this] {
        rebuildRows();
        refreshControls();
        refreshStatus();
        settleLayout();
    });
    connect(model_.get(), &ConverterModel::statusLineChanged, this, [this] {
        refreshStatus();
        settleLayout();
    });
    refreshHeader();
    rebuildRows();
    refreshControls();
    refreshStatus();
}

// The model may outlive the view while a run ends; it must not call back.
SplatConverterView::~SplatConverterView() { model_->disconnect(this); }

void SplatConverterView::build() {
    setObjectName(QStringLiteral("splatConverterView"));
    const QColor secondary = ViewStyle::secondaryColor(palette());
    auto* stack = new QVBoxLayout(this);
    stack->setSpacing(12);
    stack->setContentsMargins(12, 12, 12, 12);

    auto* header = new QHBoxLayout;
    header->setSpacing(6);
    header->addWidget(symbolLabel(Symbol::shippingBoxAndArrowBackward, secondary,
                                  QFontMetrics(ViewStyle::font(ViewStyle::TextStyle::headline, font())).height(), this));
    auto* title = new QLabel(QStringLiteral("Splat Converter"), this);
    title->setFont(ViewStyle::font(ViewStyle::TextStyle::headline, font()));
    header->addWidget(title);
    header->addStretch(1);
    countLabel_ = new QLabel(this);
    countLabel_->setObjectName(QStringLiteral("fileCount"));
    countLabel_->setFont(ViewStyle::font(ViewStyle::TextStyle::caption, font()));
    ViewStyle::setTextColor(*countLabel_, secondary);
    header->addWidget(countLabel_);
    stack->addLayout(header);

    dropZone_ = new DropZone(model_, this);
    dropZone_->setObjectName(QStringLiteral("dropZone"));
    stack->addWidget(dropZone_);

    list_ = new QScrollArea(this);
    list_->setObjectName(QStringLiteral("queueList"));
    list_->setWidgetResizable(true);
    list_->setFrameShape(QFrame::NoFrame);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QColor listBackground = palette().color(QPalette::Base);
    listBackground.setAlphaF(0.4f);
    list_->setStyleSheet(QStringLiteral("QScrollArea#queueList { background: %1; border-radius: 4px; }")
                             .arg(listBackground.name(QColor::HexArgb)));
    rows_ = new QWidget;
    rows_->setObjectName(QStringLiteral("queueRows"));
    rows_->setAutoFillBackground(false);
    rows_->setStyleSheet(QStringLiteral("QWidget#queueRows { background: transparent; }"));
    rowsLayout_ = new QVBoxLayout(rows_);
    rowsLayout_->setSpacing(2);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    rowsLayout_->setAlignment(Qt::AlignTop);
    list_->setWidget(rows_);
    stack->addWidget(list_);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(10);
    controls->addStretch(1);
    auto* formatLabel = new QLabel(QStringLiteral("Format:"), this);
    formatLabel->setFont(ViewStyle::font(ViewStyle::TextStyle::callout, font()));
    controls->addWidget(formatLabel);
    formatPicker_ = new QComboBox(this);
    formatPicker_->setObjectName(QStringLiteral("formatPicker"));
    formatPicker_->setMaximumWidth(240);
    for (engines::SplatOutputFormat format : offeredFormats)
        formatPicker_->addItem(QString::fromUtf8(label(format).data(), qsizetype(label(format).size())),
                               QString::fromUtf8(toString(format).data(), qsizetype(toString(format).size())));
    connect(formatPicker_, &QComboBox::activated, this, [this](int index) {
        if (auto format = engines::splatOutputFormatFromString(formatPicker_->itemData(index).toString().toStdString()))
            model_->setFormat(*format);
    });
    controls->addWidget(formatPicker_);

    backendWarning_ = new QWidget(this);
    backendWarning_->setObjectName(QStringLiteral("backendWarning"));
    auto* warningLayout = new QHBoxLayout(backendWarning_);
    warningLayout->setContentsMargins(0, 0, 0, 0);
    warningLayout->setSpacing(4);
    const QFont caption = ViewStyle::font(ViewStyle::TextStyle::caption, font());
    warningLayout->addWidget(
        symbolLabel(Symbol::exclamationmarkTriangleFill, ViewStyle::orange(), QFontMetrics(caption).height(), backendWarning_));
    auto* warningText = new QLabel(QStringLiteral("backend missing"), backendWarning_);
    warningText->setFont(caption);
    ViewStyle::setTextColor(*warningText, ViewStyle::orange());
    warningLayout->addWidget(warningText);
    controls->addWidget(backendWarning_);

    QIcon play = SymbolIcon::icon(Symbol::playFill, palette().color(QPalette::HighlightedText), 12);
    play.addPixmap(SymbolIcon::pixmap(Symbol::playFill, palette().color(QPalette::Disabled, QPalette::ButtonText), 12),
                   QIcon::Disabled);
    convertButton_ = new QPushButton(play, QStringLiteral("Convert"), this);
    convertButton_->setObjectName(QStringLiteral("convertButton"));
    // The prominent style: the accent colour, as the default action.
    convertButton_->setDefault(true);
    // Disabled, it takes the plain disabled button's colours: it must not
    // look like an action that would run.
    QPalette prominent = convertButton_->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        prominent.setColor(group, QPalette::Button, palette().color(group, QPalette::Highlight));
        prominent.setColor(group, QPalette::ButtonText, palette().color(group, QPalette::HighlightedText));
    }
    prominent.setColor(QPalette::Disabled, QPalette::Button, palette().color(QPalette::Disabled, QPalette::Button));
    prominent.setColor(QPalette::Disabled, QPalette::ButtonText,
                       palette().color(QPalette::Disabled, QPalette::ButtonText));
    convertButton_->setPalette(prominent);
    connect(convertButton_, &QPushButton::clicked, this, [this] { model_->startConversion(); });
    controls->addWidget(convertButton_);

    cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton_->setObjectName(QStringLiteral("cancelButton"));
    connect(cancelButton_, &QPushButton::clicked, this, [this] { model_->cancel(); });
    controls->addWidget(cancelButton_);
    controls->addStretch(1);
    stack->addLayout(controls);

    statusRow_ = new QWidget(this);
    statusRow_->setObjectName(QStringLiteral("statusRow"));
    auto* statusLayout = new QHBoxLayout(statusRow_);
    statusLayout->setContentsMargins(0, 0, 0, 0);
    statusLayout->setSpacing(6);
    statusSpinner_ = new BusyIndicator(12, statusRow_);
    statusLayout->addWidget(statusSpinner_, 0, Qt::AlignTop);
    statusLabel_ = new ElidedLabel({}, 2, statusRow_);
    statusLabel_->setObjectName(QStringLiteral("statusLine"));
    statusLabel_->setFont(caption);
    ViewStyle::setTextColor(*statusLabel_, secondary);
    statusLayout->addWidget(statusLabel_, 1);
    stack->addWidget(statusRow_);
}

void SplatConverterView::refreshHeader() {
    const auto& queue = model_->queue();
    countLabel_->setVisible(!queue.empty());
    countLabel_->setText(fileCountText(queue.size()));
    dropZone_->setFixedHeight(queue.empty() ? emptyDropZoneHeight : filledDropZoneHeight);
}

QWidget* SplatConverterView::makeRow(std::size_t index) {
    const ConverterModel::Item& item = model_->queue()[index];
    using Kind = ConverterModel::Item::State::Kind;
    const QColor secondary = ViewStyle::secondaryColor(palette());
    const QFont caption = ViewStyle::font(ViewStyle::TextStyle::caption, font());

    auto* row = new QWidget(rows_);
    row->setObjectName(QStringLiteral("queueRow"));
    auto* layout = new QHBoxLayout(row);
    layout->setSpacing(6);
    layout->setContentsMargins(6, 2, 6, 2);

    QWidget* icon = nullptr;
    switch (item.state.kind) {
    case Kind::done:
        icon = symbolLabel(Symbol::checkmarkCircleFill, ViewStyle::green(), rowSymbolSize, row);
        break;
    case Kind::failed:
        icon = symbolLabel(Symbol::xmarkCircleFill, ViewStyle::red(), rowSymbolSize, row);
        break;
    case Kind::pending:
        icon = symbolLabel(Symbol::circle, secondary, rowSymbolSize, row);
        break;
    case Kind::running:
        icon = new BusyIndicator(rowSymbolSize, row);
        break;
    }
    icon->setProperty("itemState", int(item.state.kind));
    icon->setObjectName(icon->objectName().isEmpty() ? QStringLiteral("stateIcon") : icon->objectName());
    layout->addWidget(icon);

    auto* name = new ElidedLabel(QString::fromStdString(item.url.filename().string()), 1, row);
    name->setObjectName(QStringLiteral("fileName"));
    name->setFont(caption);
    layout->addWidget(name, 1);

    if (item.state.kind == Kind::failed) {
        auto* failure = new ElidedLabel(item.state.failure, 1, row);
        failure->setObjectName(QStringLiteral("failure"));
        failure->setFont(ViewStyle::font(ViewStyle::TextStyle::caption2, font()));
        ViewStyle::setTextColor(*failure, ViewStyle::red());
        failure->setToolTip(item.state.failure);
        layout->addWidget(failure, 2);
    }

    auto* remove = new QToolButton(row);
    remove->setObjectName(QStringLiteral("removeButton"));
    remove->setAutoRaise(true);
    remove->setIconSize(QSize(rowSymbolSize, rowSymbolSize));
    remove->setFixedSize(rowSymbolSize + 4, rowSymbolSize + 4);
    remove->setIcon(SymbolIcon::icon(Symbol::xmarkCircleFill, secondary, rowSymbolSize));
    remove->setEnabled(!model_->isRunning());
    connect(remove, &QToolButton::clicked, this, [this, id = item.id] { model_->remove(id); });
    layout->addWidget(remove);
    return row;
}

void SplatConverterView::rebuildRows() {
    while (QLayoutItem* old = rowsLayout_->takeAt(0)) {
        delete old->widget();
        delete old;
    }
    const auto& queue = model_->queue();
    list_->setVisible(!queue.empty());
    int contentHeight = 0;
    for (std::size_t index = 0; index < queue.size(); ++index) {
        QWidget* row = makeRow(index);
        rowsLayout_->addWidget(row);
        contentHeight += row->sizeHint().height() + (index > 0 ? rowsLayout_->spacing() : 0);
    }
    // As tall as its rows, up to the limit; beyond it the list scrolls.
    list_->setFixedHeight(std::min(contentHeight, maxListHeight));
    dropZone_->setEnabled(!model_->isRunning());
}

void SplatConverterView::refreshControls() {
    const engines::SplatOutputFormat format = model_->format();
    formatPicker_->setCurrentIndex(
        formatPicker_->findData(QString::fromUtf8(toString(format).data(), qsizetype(toString(format).size()))));
    const bool backendMissing = model_->isBackendMissing(format);
    backendWarning_->setVisible(backendMissing);
    backendWarning_->setToolTip(backend(format) == engines::SplatConverterBackend::splatConverter
                                    ? QStringLiteral("Bundled SplatConverter binary not found in app Resources. Rebuild the app.")
                                    : QStringLiteral("This format isn't available in this version."));
    const bool running = model_->isRunning();
    convertButton_->setVisible(!running);
    convertButton_->setEnabled(!model_->queue().empty() && !backendMissing);
    cancelButton_->setVisible(running);
}

void SplatConverterView::refreshStatus() {
    statusRow_->setVisible(!model_->statusLine().isEmpty());
    statusSpinner_->setVisible(model_->isRunning());
    statusLabel_->setText(model_->statusLine());
}

void SplatConverterView::settleLayout() {
    // The panel and whatever holds it (the Final panel's scrolling column)
    // are laid out now rather than at the next turn of the event loop: in
    // between, a new row would be drawn over the drop zone and the buttons
    // would stand where they do not stay.
    updateGeometry();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
}

void SplatConverterView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor background = palette().color(QPalette::Button);
    background.setAlphaF(0.5f);
    QPainterPath panel;
    panel.addRoundedRect(QRectF(rect()), 8, 8);
    painter.fillPath(panel, background);
}

}  // namespace tessaron::viewer
