#include "views/SettingsView.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QShortcut>
#include <QVBoxLayout>

#include "views/Theme.hpp"

namespace tessaron::views {

SettingsView::SettingsView(core::PreferenceStore& defaults, const QString& updateHost, QWidget* parent)
    : QWidget(parent), defaults_(defaults) {
    setWindowTitle(QStringLiteral("Settings"));
    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(20, 20, 20, 20);
    form->setSpacing(6);
    toggle_ = new QCheckBox(QStringLiteral("Check for new versions at launch"), this);
    toggle_->setFont(theme::font(theme::TextStyle::body));
    toggle_->setChecked(checkForUpdates(defaults_));
    caption_ = new QLabel(captionText(updateHost), this);
    caption_->setWordWrap(true);
    caption_->setFont(theme::font(theme::TextStyle::caption));
    QPalette palette = caption_->palette();
    palette.setColor(QPalette::WindowText, theme::color(theme::NamedColor::secondary));
    caption_->setPalette(palette);
    form->addWidget(toggle_);
    form->addWidget(caption_);
    // A fixed width; the height follows the wrapped caption.
    caption_->setFixedWidth(440);
    form->setSizeConstraint(QLayout::SetFixedSize);

    connect(toggle_, &QCheckBox::toggled, this,
            [this](bool on) { defaults_.setString(checkForUpdatesKey, on ? "true" : "false"); });
    // A window of its own without buttons: it closes from the keyboard as
    // desktop dialogs do.
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &QWidget::close);
}

bool SettingsView::checkForUpdates(const core::PreferenceStore& defaults) {
    auto stored = defaults.string(checkForUpdatesKey);
    // Only an explicit "false" turns the check off, as the update check reads it.
    return !stored || *stored != "false";
}

QString SettingsView::captionText(const QString& updateHost) {
    return QStringLiteral("When this is on, Tessaron reads one small file from ") + updateHost +
           QStringLiteral(" at launch, at most once a day (Help ▸ Check for Updates… reads it whenever you ask). "
                          "It sends no identifiers or cookies; like any web request, the server sees your IP "
                          "address and the app's version.");
}

}  // namespace tessaron::views
