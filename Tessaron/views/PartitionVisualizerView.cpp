#include "views/PartitionVisualizerView.hpp"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "views/PointSceneWidget.hpp"

namespace tessaron::views {

namespace {

QFont labelFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(48);
    font.setBold(true);
    return font;
}

QColor toQColor(const RGBColor& color, double alpha) {
    return QColor::fromRgbF(float(color.red), float(color.green), float(color.blue), float(alpha));
}

}  // namespace

PartitionVisualizerView::PartitionVisualizerView(viewmodel::PipelineViewModel& model, QWidget* parent)
    : QWidget(parent), model_(model), sceneWidget_(new PointSceneWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(sceneWidget_);
    sceneWidget_->setLabelImageMaker(&PartitionVisualizerView::makeLabelImage);

    connect(&model_, &viewmodel::PipelineViewModel::partitionPlanChanged, this,
            &PartitionVisualizerView::inputsChanged);
    connect(&model_, &viewmodel::PipelineViewModel::partitionProgressChanged, this,
            &PartitionVisualizerView::inputsChanged);
    connect(&model_, &viewmodel::PipelineViewModel::colmapSparseDirChanged, this, [this] {
        // Another model folder is another cloud: start as a new view would.
        if (model_.colmapSparseDir() != sparseDir_) reset();
    });
    startScene();
}

PartitionVisualizerView::~PartitionVisualizerView() = default;

PartitionScene::Inputs PartitionVisualizerView::currentInputs() const {
    PartitionScene::Inputs inputs;
    inputs.plan = model_.partitionPlan();
    inputs.highlightedCellIndex = PartitionScene::trainingHighlight(inputs.plan.get(), highlightedCell_);
    if (const auto& progress = model_.partitionProgress()) inputs.progressCentroids = progress->centroids;
    return inputs;
}

void PartitionVisualizerView::startScene() {
    scene_ = std::make_unique<PartitionScene>([](const std::vector<std::string>& lines) {
        const QImage image = makeLabelImage(lines, {1, 1, 1});
        return double(image.width()) / std::max(image.height(), 1);
    });
    scene_->setInitialInputs(currentInputs());
    PartitionScene* scene = scene_.get();
    sceneWidget_->setCamera(&scene->camera());
    sceneWidget_->setFrameSource([scene](double now) { return scene->frameAt(now); },
                                 [scene](double now) { return scene->isAnimating(now); });
    sparseDir_ = model_.colmapSparseDir();
    if (!sparseDir_) {
        cloudLoader_.cancel();
        return;
    }
    cloudLoader_.load(*sparseDir_, [this](ParsedCloudPointer cloud) {
        if (scene_->installCloud(std::move(cloud), sceneWidget_->now())) {
            sceneWidget_->sceneChanged();
            emit cloudInstalled();
        }
    });
}

void PartitionVisualizerView::reset() { startScene(); }

void PartitionVisualizerView::inputsChanged() {
    scene_->update(currentInputs(), sceneWidget_->now());
    sceneWidget_->sceneChanged();
}

void PartitionVisualizerView::setHighlightedCell(std::optional<int> index) {
    if (index == highlightedCell_) return;
    highlightedCell_ = index;
    inputsChanged();
}

QImage PartitionVisualizerView::makeLabelImage(const std::vector<std::string>& lines, const RGBColor& color) {
    const QFont font = labelFont();
    const QFontMetricsF metrics(font);
    double widest = 0, heights = 0;
    std::vector<QString> texts;
    for (const auto& line : lines) {
        texts.push_back(QString::fromStdString(line));
        widest = std::max(widest, metrics.horizontalAdvance(texts.back()));
        heights += metrics.height();
    }
    const int width = int(widest) + 48;
    const int height = int(heights + 6 * (double(lines.size()) - 1)) + 32;
    QImage image(std::max(width, 1), std::max(height, 1), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath plate;
    plate.addRoundedRect(QRectF(4, 4, width - 8, height - 8), 16, 16);
    painter.fillPath(plate, QColor::fromRgbF(0, 0, 0, 0.85f));
    painter.setPen(QPen(toQColor(color, 0.95), 6));
    painter.drawPath(plate);
    painter.setFont(font);
    painter.setPen(Qt::white);
    double top = 16;
    for (const auto& text : texts) {
        const double lineWidth = metrics.horizontalAdvance(text);
        painter.drawText(QPointF((width - lineWidth) / 2, top + metrics.ascent()), text);
        top += metrics.height() + 6;
    }
    return image;
}

}  // namespace tessaron::views
