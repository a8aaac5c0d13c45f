#include "services/FeedbackFallbackDialog.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tessaron::services {

FeedbackFallbackDialog::FeedbackFallbackDialog(const QString& supportAddress, const QString& reason,
                                               bool hasFileToMention, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Send Feedback"));
    setModal(true);

    message_ = new QLabel(QStringLiteral("Send feedback to ") + supportAddress);
    QFont bold = message_->font();
    bold.setBold(true);
    message_->setFont(bold);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    informative_ = new QLabel(reason + QStringLiteral(" Copy the details into a message from your own mail service") +
                              (hasFileToMention ? QStringLiteral(", and attach the run log (Reveal Log shows it).")
                                                : QStringLiteral(".")));
    informative_->setWordWrap(true);
    // Said once the details are on the clipboard: a copy shows nothing else.
    copied_ = new QLabel(QStringLiteral("The details are on the clipboard."));
    copied_->setObjectName(QStringLiteral("copiedNote"));
    copied_->hide();

    auto* buttonRow = new QHBoxLayout();
    buttonRow->addStretch();
    auto addButton = [&](const QString& text, auto signal) {
        auto* button = new QPushButton(text);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, signal);
        buttonRow->addWidget(button);
        buttons_.append(button);
        return button;
    };
    addButton(QStringLiteral("Copy Details"), [this] {
        emit copyDetailsRequested();
        if (!copied_->isHidden()) return;
        copied_->show();
        // A window does not grow for a line under wrapped text by itself.
        layout()->activate();
        resize(width(), std::max(height(), heightForWidth(width())));
    })->setDefault(true);
    addButton(QStringLiteral("Open Mail Link"), [this] {
        emit openMailLinkRequested();
        accept();
    });
    if (hasFileToMention) addButton(QStringLiteral("Reveal Log"), &FeedbackFallbackDialog::revealLogRequested);
    addButton(QStringLiteral("Done"), [this] { reject(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message_);
    layout->addWidget(informative_);
    layout->addWidget(copied_);
    layout->addLayout(buttonRow);
    setMinimumWidth(420);
}

QString FeedbackFallbackDialog::messageText() const { return message_->text(); }

QString FeedbackFallbackDialog::informativeText() const { return informative_->text(); }

QString FeedbackFallbackDialog::copiedNote() const { return copied_->isHidden() ? QString() : copied_->text(); }

QList<QPushButton*> FeedbackFallbackDialog::buttons() const { return buttons_; }

QPushButton* FeedbackFallbackDialog::button(const QString& text) const {
    for (QPushButton* candidate : buttons_)
        if (candidate->text() == text) return candidate;
    return nullptr;
}

}  // namespace tessaron::services
