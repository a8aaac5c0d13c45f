#include "viewmodel/MainThreadExecutor.hpp"

#include <QCoreApplication>
#include <QMetaObject>

#include <utility>

namespace tessaron::viewmodel {

MainThreadExecutor::MainThreadExecutor() = default;

MainThreadExecutor::~MainThreadExecutor() { invalidate(); }

core::Executor MainThreadExecutor::executor() const {
    // The posted closure holds only the shared lifetime flag, never the
    // owner, and asks it on the main thread, where the owner is destroyed.
    return [lifetime = lifetime_](std::function<void()> work) {
        QCoreApplication* application = QCoreApplication::instance();
        if (!application || !lifetime->alive.load()) return;
        QMetaObject::invokeMethod(
            application,
            [lifetime, work = std::move(work)] {
                if (lifetime->alive.load()) work();
            },
            Qt::QueuedConnection);
    };
}

void MainThreadExecutor::invalidate() noexcept { lifetime_->alive.store(false); }

bool MainThreadExecutor::isValid() const noexcept { return lifetime_->alive.load(); }

}  // namespace tessaron::viewmodel
