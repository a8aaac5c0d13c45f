#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

namespace tessaron::services {

// The alert offered when no mail program takes the feedback mail: the
// details can be copied, sent through a mailto link, and the run log shown
// in the File Manager. "Copy Details" (which says that it copied) and
// "Reveal Log" leave it open; "Open Mail Link" and "Done" close it.
class FeedbackFallbackDialog : public QDialog {
    Q_OBJECT
public:
    FeedbackFallbackDialog(const QString& supportAddress, const QString& reason, bool hasFileToMention,
                           QWidget* parent = nullptr);

    QString messageText() const;
    QString informativeText() const;
    // "The details are on the clipboard." once Copy Details has copied them;
    // empty before.
    QString copiedNote() const;
    // The buttons in their order; "Reveal Log" only with a file to mention.
    QList<QPushButton*> buttons() const;
    QPushButton* button(const QString& text) const;

signals:
    void copyDetailsRequested();
    void revealLogRequested();
    void openMailLinkRequested();

private:
    QLabel* message_;
    QLabel* informative_;
    QLabel* copied_;
    QList<QPushButton*> buttons_;
};

}  // namespace tessaron::services
