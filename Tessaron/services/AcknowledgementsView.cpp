#include "services/AcknowledgementsView.hpp"

#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
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

namespace {

// The secondary label colour: text blended towards the background, still
// easy to read (about 6:1 on white), unlike the pale disabled colour.
QColor secondaryLabelColor(const QPalette& palette, QPalette::ColorRole background) {
    const QColor text = palette.color(QPalette::Active, QPalette::WindowText);
    const QColor behind = palette.color(QPalette::Active, background);
    constexpr double share = 0.62;
    return QColor::fromRgbF(float(share * text.redF() + (1 - share) * behind.redF()),
                            float(share * text.greenF() + (1 - share) * behind.greenF()),
                            float(share * text.blueF() + (1 - share) * behind.blueF()));
}

}  // namespace

NoticesTextView::NoticesTextView(const QString& text, QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    // The small system size: the notices' 80-column lines fit the window's
    // smallest width.
    font.setPixelSize(smallFontPixels);
    font.setWeight(QFont::Normal);
    setFont(font);
    QPalette colours = palette();
    colours.setColor(QPalette::Text, secondaryLabelColor(colours, QPalette::Base));
    setPalette(colours);
    // The notices bring their own line breaks; wrapping them again at the
    // view's width would break every long line a second time.
    setLineWrapMode(QPlainTextEdit::NoWrap);
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
    // The large title: twice the body text, whether the font is sized in
    // points or in pixels.
    QFont titleFont = title->font();
    titleFont.setPixelSize(2 * QFontInfo(title->font()).pixelSize());
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
    secondary.setColor(QPalette::WindowText, secondaryLabelColor(secondary, QPalette::Window));
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
