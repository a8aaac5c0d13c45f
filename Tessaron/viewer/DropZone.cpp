#include "viewer/DropZone.hpp"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>

#include "viewer/CompleterClickThrough.hpp"
#include "viewer/ConverterModel.hpp"
#include "viewer/SymbolIcon.hpp"
#include "viewer/ViewStyle.hpp"

namespace tessaron::viewer {

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> showFilePanel(QWidget* parent) {
    QFileDialog panel(parent, QStringLiteral("Choose splat files to convert"), QString(),
                      QStringLiteral("All files (*);;PLY files (*.ply)"));
    panel.setFileMode(QFileDialog::ExistingFiles);
    CompleterClickThrough::install(panel);
    std::vector<fs::path> files;
    if (panel.exec() != QDialog::Accepted) return files;
    for (const QString& file : panel.selectedFiles()) files.emplace_back(file.toStdString());
    return files;
}

}  // namespace

DropZone::DropZone(std::shared_ptr<ConverterModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)), chooseFiles_([this] { return showFilePanel(this); }) {
    setAcceptDrops(true);
    setCursor(Qt::PointingHandCursor);

    auto* content = new QVBoxLayout(this);
    content->setSpacing(4);
    // The content must fit the 64-pixel zone of a filled queue.
    content->setContentsMargins(8, 2, 8, 2);
    content->setAlignment(Qt::AlignCenter);
    const QColor secondary = ViewStyle::secondaryColor(palette());

    auto* symbol = new QLabel(this);
    const int symbolSize = QFontMetrics(ViewStyle::font(ViewStyle::TextStyle::title2, font())).height();
    symbol->setPixmap(SymbolIcon::pixmap(Symbol::arrowDownDoc, secondary, symbolSize, devicePixelRatioF()));
    symbol->setAlignment(Qt::AlignCenter);
    content->addWidget(symbol);

    auto addLine = [&](const QString& text, ViewStyle::TextStyle style) {
        auto* line = new QLabel(text, this);
        line->setFont(ViewStyle::font(style, font()));
        ViewStyle::setTextColor(*line, secondary);
        line->setAlignment(Qt::AlignCenter);
        content->addWidget(line);
    };
    addLine(QStringLiteral("Drop PLYs here"), ViewStyle::TextStyle::callout);
    addLine(QStringLiteral("or click to browse"), ViewStyle::TextStyle::caption2);
}

bool DropZone::isAcceptedFile(const fs::path& file) {
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension == ".ply" || extension == ".splat" || extension == ".spz" || extension == ".ksplat";
}

void DropZone::browseForFiles() {
    if (model_->isRunning()) return;
    auto files = chooseFiles_();
    if (!files.empty()) model_->add(files);
}

bool DropZone::handleDrop(const QMimeData& data) {
    std::vector<fs::path> accepted;
    for (const QUrl& url : data.urls()) {
        if (!url.isLocalFile()) continue;
        fs::path file(url.toLocalFile().toStdString());
        if (isAcceptedFile(file)) accepted.push_back(std::move(file));
    }
    if (!accepted.empty()) model_->add(accepted);
    return true;
}

void DropZone::setTargeted(bool targeted) {
    if (targeted == isTargeted_) return;
    isTargeted_ = targeted;
    update();
}

void DropZone::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor accent = palette().color(QPalette::Highlight);
    // The border is drawn inside the shape: inset by half the line width.
    const qreal lineWidth = 1.5;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(lineWidth / 2, lineWidth / 2, -lineWidth / 2, -lineWidth / 2), 8, 8);
    if (isTargeted_) {
        QColor fill = accent;
        fill.setAlphaF(0.08f);
        painter.fillPath(shape, fill);
    }
    QColor borderColor = isTargeted_ ? accent : ViewStyle::secondaryColor(palette());
    if (!isTargeted_) borderColor.setAlphaF(0.5f);
    QPen border(borderColor, lineWidth);
    // Qt's dash lengths are in units of the line width.
    border.setDashPattern({6 / lineWidth, 4 / lineWidth});
    painter.strokePath(shape, border);
}

void DropZone::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) browseForFiles();
}

void DropZone::dragEnterEvent(QDragEnterEvent* event) {
    if (model_->isRunning() || !event->mimeData()->hasUrls()) return;
    event->acceptProposedAction();
    setTargeted(true);
}

void DropZone::dragLeaveEvent(QDragLeaveEvent*) { setTargeted(false); }

void DropZone::dropEvent(QDropEvent* event) {
    setTargeted(false);
    if (model_->isRunning()) return;
    handleDrop(*event->mimeData());
    event->acceptProposedAction();
}

}  // namespace tessaron::viewer
