// The feedback fallback dialog, offered when no mail program takes the
// message.
#include <QPushButton>
#include <QTest>

#include "ShotState.hpp"
#include "services/FeedbackFallbackDialog.hpp"

namespace tessaron::shots {
namespace {

std::shared_ptr<QWidget> fallbackDialog(bool copied) {
    auto dialog = std::make_shared<services::FeedbackFallbackDialog>(
        QStringLiteral("help@tessaron.example"), QStringLiteral("Mail isn't set up on this computer."), true);
    dialog->show();
    waitUntil([] { return false; }, 0.2);
    if (copied) QTest::mouseClick(dialog->button(QStringLiteral("Copy Details")), Qt::LeftButton);
    waitUntil([] { return false; }, 0.2);
    return dialog;
}

const ShotState::Registration fallback({"feedback-fallback", "Send Feedback without a mail program: the details offered",
                                        [] { return fallbackDialog(false); }});

const ShotState::Registration copied({"feedback-fallback-copied", "the same after Copy Details: it says it copied",
                                      [] { return fallbackDialog(true); }});

}  // namespace
}  // namespace tessaron::shots
