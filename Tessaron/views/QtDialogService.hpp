#pragma once

#include <QPointer>
#include <QWidget>

#include "viewmodel/DialogService.hpp"

namespace tessaron::views {

// The view model's panels and alerts as the desktop's file dialogs and
// message boxes, modal to `parent` (the main window) when it lives.
class QtDialogService : public viewmodel::DialogService {
public:
    explicit QtDialogService(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }

    std::optional<std::filesystem::path> open(const OpenRequest& request) override;
    std::optional<std::filesystem::path> save(const SaveRequest& request) override;
    bool confirm(const QString& title, const QString& text, const QString& confirmLabel) override;
    void message(const QString& title, const QString& text) override;

private:
    QPointer<QWidget> parent_;
};

}  // namespace tessaron::views
