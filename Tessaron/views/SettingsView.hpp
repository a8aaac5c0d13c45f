#pragma once

#include <QWidget>

#include "core/PreferenceStore.hpp"

class QCheckBox;
class QLabel;

namespace tessaron::views {

// The Settings window's form: whether the update check runs by itself at
// launch. The toggle writes "checkForUpdates" at once. Escape and Ctrl+W
// close the window.
class SettingsView : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* checkForUpdatesKey = "checkForUpdates";

    // `defaults` must outlive the view; `updateHost` is the update feed's
    // host, named in the caption.
    SettingsView(core::PreferenceStore& defaults, const QString& updateHost, QWidget* parent = nullptr);

    // The stored preference; absent reads as on.
    static bool checkForUpdates(const core::PreferenceStore& defaults);
    static QString captionText(const QString& updateHost);

    QCheckBox* toggle() const { return toggle_; }
    QLabel* caption() const { return caption_; }

private:
    core::PreferenceStore& defaults_;
    QCheckBox* toggle_;
    QLabel* caption_;
};

}  // namespace tessaron::views
