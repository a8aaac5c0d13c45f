// The manual update check's alerts as Help › Check for Updates… shows them.
#include <QMessageBox>
#include <QPointer>

#include <stdexcept>

#include "ShotState.hpp"
#include "core/PreferenceStore.hpp"
#include "services/UpdateModel.hpp"

namespace tessaron::shots {
namespace {

const ShotState::Registration failedCheck(
    {"update-check-failed", "the manual update check when the update server can't be reached", [] {
         auto defaults = std::make_shared<core::InMemoryPreferenceStore>();
         services::ServiceEndpoints endpoints = services::ServiceEndpoints::distribution();
         // Nothing listens on this loopback port: the connection is refused at once.
         endpoints.feedURL = QUrl(QStringLiteral("https://127.0.0.1:9/latest.json"));
         auto model = std::make_shared<services::UpdateModel>(*defaults, endpoints);
         QPointer<QMessageBox> alert;
         QObject::connect(model.get(), &services::UpdateModel::alertShown,
                          [&alert](QMessageBox* shown) { alert = shown; });
         model->checkNow();
         if (!waitUntil([&alert] { return !alert.isNull(); })) throw std::runtime_error("the check showed no alert");
         return std::shared_ptr<QWidget>(alert.data(), [model, defaults, alert](QWidget*) {
             if (alert) delete alert.data();
         });
     }});

}  // namespace
}  // namespace tessaron::shots
