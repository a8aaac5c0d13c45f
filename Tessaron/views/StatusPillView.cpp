#include "views/StatusPillView.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

namespace tessaron::views {
namespace {

// The dot before the text: blue while the run goes on.
class Dot : public QWidget {
public:
    explicit Dot(QWidget* parent) : QWidget(parent) { setFixedSize(8, 8); }
    void setColor(const QColor& color) {
        color_ = color;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(color_);
        painter.drawEllipse(rect());
    }

private:
    QColor color_ = theme::color(theme::NamedColor::blue);
};

}  // namespace

StatusPillView::StatusPillView(QWidget* parent) : FloatingPanel(12, theme::Material::ultraThin, parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 8, 16, 8);
    row->setSpacing(10);
    text_ = new QLabel(this);
    text_->setFont(theme::font(theme::TextStyle::caption));
    QPalette palette = text_->palette();
    palette.setColor(QPalette::WindowText, theme::color(theme::NamedColor::secondary));
    text_->setPalette(palette);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setFont(theme::font(theme::TextStyle::callout));
    dot_ = new Dot(this);
    row->addWidget(dot_, 0, Qt::AlignVCenter);
    row->addWidget(text_, 0, Qt::AlignVCenter);
    row->addWidget(cancel_, 0, Qt::AlignVCenter);
    connect(cancel_, &QPushButton::clicked, this, &StatusPillView::cancelClicked);
}

void StatusPillView::setStatus(const QString& text, bool isCancelling) {
    text_->setText(text);
    cancel_->setText(isCancelling ? QStringLiteral("Cancelling…") : QStringLiteral("Cancel"));
    cancel_->setEnabled(!isCancelling);
    cancel_->setVisible(true);
    static_cast<Dot*>(dot_)->setColor(theme::color(theme::NamedColor::blue));
    adjustSize();
}

void StatusPillView::setEndedStatus(const QString& text) {
    text_->setText(text);
    cancel_->setVisible(false);
    static_cast<Dot*>(dot_)->setColor(theme::color(theme::NamedColor::orange));
    adjustSize();
}

QString StatusPillView::statusText(const pipeline::PipelineState& state, qint64 materializedCellCount,
                                   qint64 materializationTotalCells, qint64 iteration) {
    using Kind = pipeline::PipelineState::Kind;
    switch (state.kind) {
    case Kind::extractingFrames: return QStringLiteral("Extracting frames...");
    case Kind::processingSfM: return QStringLiteral("Running COLMAP SfM...");
    case Kind::preparingData: return QStringLiteral("Planning partition...");
    case Kind::awaitingPartitionApproval: return QStringLiteral("Partition plan ready — awaiting approval");
    case Kind::materializingCells:
        if (materializationTotalCells < 1) return QStringLiteral("Partitioning cells…");
        return QStringLiteral("Partitioning cells… (%1/%2)").arg(materializedCellCount).arg(materializationTotalCells);
    case Kind::training: return QStringLiteral("Training (iter %1)...").arg(iteration);
    case Kind::exporting: return QStringLiteral("Exporting PLY...");
    case Kind::idle:
    case Kind::completed:
    case Kind::error: return {};
    }
    return {};
}

}  // namespace tessaron::views
