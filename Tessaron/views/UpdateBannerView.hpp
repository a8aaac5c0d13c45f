#pragma once

#include <QString>
#include <QUrl>

#include <optional>

#include "views/FloatingPanel.hpp"

class QLabel;
class QPushButton;

namespace tessaron::views {

// The release the update check offers, as the banner shows it.
struct UpdateOffer {
    QString version;
    qint64 build = 0;
    QUrl url;
    std::optional<QUrl> notesURL;
    bool operator==(const UpdateOffer&) const = default;
};

// "Tessaron 1.2 (build 42) is available" with its links, on a capsule. The
// dashboard shows it exactly while a release is offered.
class UpdateBannerView : public FloatingPanel {
    Q_OBJECT
public:
    explicit UpdateBannerView(QWidget* parent = nullptr);

    void setOffer(const UpdateOffer& offer);
    const UpdateOffer& offer() const { return offer_; }

    // "Tessaron " version " (build " build ") is available", the version as
    // UpdateModel::shownText() gives it.
    static QString message(const UpdateOffer& offer);

    QLabel* messageLabel() const { return message_; }
    QPushButton* notesButton() const { return notes_; }
    QPushButton* downloadButton() const { return download_; }
    QPushButton* laterButton() const { return later_; }

signals:
    void linkActivated(const QUrl& url);
    void laterClicked();

private:
    UpdateOffer offer_;
    QLabel* message_;
    QPushButton* notes_;
    QPushButton* download_;
    QPushButton* later_;
};

}  // namespace tessaron::views
