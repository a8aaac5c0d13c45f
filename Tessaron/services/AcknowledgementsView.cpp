#include "services/AcknowledgementsView.hpp"

#include <QFile>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QStringDecoder>
#include <QVBoxLayout>

#include "core/ResourceLocator.hpp"
#include "services/DesktopOpener.hpp"
#include "services/ServiceEndpoints.hpp"

namespace tessaron::services {

namespace fs = std::filesystem;

NoticesTextView::NoticesTextView(const QString& text, QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(std::max(7.0, QFontDatabase::systemFont(QFontDatabase::SmallestReadableFont).pointSizeF()));
    font.setWeight(QFont::Normal);
    setFont(font);
    QPalette colours = palette();
    colours.setColor(QPalette::Text, colours.color(QPalette::Disabled, QPalette::WindowText));
    setPalette(colours);
    document()->setDocumentMargin(8);
    setFrameShape(QFrame::NoFrame);
    setPlainText(text);
}

QString AcknowledgementsView::readNotices(const std::optional<fs::path>& file) {
    if (!file) return QString::fromUtf8(missingNotices);
    QFile notices(QString::fromStdString(file->string()));
    if (!notices.open(QIODevice::ReadOnly)) return QString::fromUtf8(missingNotices);
    QByteArray bytes = notices.readAll();
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError()) return QString::fromUtf8(missingNotices);
    return text;
}

const QString& AcknowledgementsView::noticesText() {
    // The notices never change while the application runs.
    static const QString text = readNotices(core::ResourceLocator::resource("THIRD_PARTY_NOTICES.txt"));
    return text;
}

AcknowledgementsView::AcknowledgementsView(QWidget* parent)
    : AcknowledgementsView(noticesText(), ServiceEndpoints::standard().sourceOfferURL, parent) {}

AcknowledgementsView::AcknowledgementsView(const QString& notices, QUrl sourceOfferURL, QWidget* parent)
    : QWidget(parent) {
    setWindowTitle(QStringLiteral("Acknowledgements"));
    setMinimumSize(640, 480);

    auto* title = new QLabel(QStringLiteral("Acknowledgements"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 2);
    titleFont.setBold(true);
    title->setFont(titleFont);

    sourceLink_ = new QLabel(QStringLiteral("<a href=\"%1\">Source code</a>")
                                 .arg(sourceOfferURL.toString(QUrl::FullyEncoded).toHtmlEscaped()));
    sourceLink_->setTextFormat(Qt::RichText);
    sourceLink_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    connect(sourceLink_, &QLabel::linkActivated, this,
            [this](const QString& link) { DesktopOpener::open(QUrl(link), this); });

    auto* titleRow = new QHBoxLayout();
    titleRow->addWidget(title, 0, Qt::AlignBaseline);
    titleRow->addWidget(sourceLink_, 0, Qt::AlignBaseline);
    titleRow->addStretch();

    auto* introduction = new QLabel(QStringLiteral(
        "Tessaron is built on these open-source projects. Their licences and the source code of colmap and its "
        "libraries are below."));
    introduction->setWordWrap(true);
    QPalette secondary = introduction->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::Disabled, QPalette::WindowText));
    introduction->setPalette(secondary);

    notices_ = new NoticesTextView(notices);
    auto* border = new QFrame();
    border->setObjectName(QStringLiteral("noticesBorder"));
    QColor line = secondary.color(QPalette::WindowText);
    border->setStyleSheet(QStringLiteral("#noticesBorder { border: 1px solid rgba(%1, %2, %3, 20%); border-radius: 6px; }")
                              .arg(line.red())
                              .arg(line.green())
                              .arg(line.blue()));
    auto* borderLayout = new QVBoxLayout(border);
    borderLayout->setContentsMargins(1, 1, 1, 1);
    borderLayout->addWidget(notices_);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(12);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->addLayout(titleRow);
    layout->addWidget(introduction);
    layout->addWidget(border, 1);
}

}  // namespace tessaron::services
