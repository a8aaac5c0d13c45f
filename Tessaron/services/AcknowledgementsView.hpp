#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <filesystem>
#include <optional>

class QLabel;

namespace tessaron::services {

// The notices text in a read-only, selectable monospaced view.
class NoticesTextView : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int smallFontPixels = 11;

    explicit NoticesTextView(const QString& text, QWidget* parent = nullptr);
};

// The content of the "Acknowledgements" window: the projects Tessaron is
// built on, a link to the source-offer page and the notices file.
class AcknowledgementsView : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* missingNotices = "THIRD_PARTY_NOTICES.txt is missing from this copy of Tessaron.";

    explicit AcknowledgementsView(QWidget* parent = nullptr);
    // The same window showing `notices` (for a view of other notices).
    AcknowledgementsView(const QString& notices, QUrl sourceOfferURL, QWidget* parent = nullptr);

    // THIRD_PARTY_NOTICES.txt of the resources, read once per process.
    static const QString& noticesText();
    // A notices file as UTF-8; the missing-file sentence when it is absent,
    // unreadable or not valid UTF-8.
    static QString readNotices(const std::optional<std::filesystem::path>& file);

    NoticesTextView* noticesView() const { return notices_; }
    QLabel* sourceLink() const { return sourceLink_; }

private:
    NoticesTextView* notices_;
    QLabel* sourceLink_;
};

}  // namespace tessaron::services
