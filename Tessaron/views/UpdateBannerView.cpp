#include "views/UpdateBannerView.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "services/UpdateModel.hpp"
#include "views/Icons.hpp"

namespace tessaron::views {

UpdateBannerView::UpdateBannerView(QWidget* parent) : FloatingPanel(-1, theme::Material::regular, parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 8, 14, 8);
    row->setSpacing(12);
    auto* symbol = new QLabel(this);
    symbol->setPixmap(symbolIcon(Symbol::downloadCircle, QSize(16, 16), theme::color(theme::NamedColor::blue))
                          .pixmap(QSize(16, 16)));
    message_ = new QLabel(this);
    message_->setFont(theme::font(theme::TextStyle::body));
    // The version comes from the feed: plain text, so that it can bring no
    // link or markup of its own.
    message_->setTextFormat(Qt::PlainText);
    notes_ = new QPushButton(tr("What's new"), this);
    notes_->setFlat(true);
    notes_->setCursor(Qt::PointingHandCursor);
    notes_->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; padding: 0 2px; }")
                              .arg(theme::color(theme::NamedColor::blue).name()));
    download_ = new QPushButton(tr("Download"), this);
    // The prominent button: filled in the accent colour.
    download_->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border: none; border-radius: 5px;"
                                            " padding: 3px 12px; }")
                                 .arg(theme::color(theme::NamedColor::blue).name()));
    later_ = new QPushButton(tr("Later"), this);
    for (QWidget* item : std::initializer_list<QWidget*>{symbol, message_, notes_, download_, later_})
        row->addWidget(item, 0, Qt::AlignVCenter);

    connect(notes_, &QPushButton::clicked, this, [this] {
        if (offer_.notesURL) emit linkActivated(*offer_.notesURL);
    });
    connect(download_, &QPushButton::clicked, this, [this] { emit linkActivated(offer_.url); });
    connect(later_, &QPushButton::clicked, this, &UpdateBannerView::laterClicked);
}

void UpdateBannerView::setOffer(const UpdateOffer& offer) {
    offer_ = offer;
    message_->setText(message(offer));
    notes_->setVisible(offer.notesURL.has_value());
    adjustSize();
}

QString UpdateBannerView::message(const UpdateOffer& offer) {
    return QStringLiteral("Tessaron ") + services::UpdateModel::shownText(offer.version) + QStringLiteral(" (build ") + QString::number(offer.build) +
           QStringLiteral(") is available");
}

}  // namespace tessaron::views
