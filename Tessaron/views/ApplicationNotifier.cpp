#include "views/ApplicationNotifier.hpp"

namespace tessaron::views {

ApplicationNotifier& ApplicationNotifier::instance() {
    static ApplicationNotifier notifier;
    return notifier;
}

}  // namespace tessaron::views
