// The acknowledgements window as Help opens it: the notices of this copy.
#include "ShotState.hpp"
#include "services/AcknowledgementsView.hpp"

namespace tessaron::shots {
namespace {

const ShotState::Registration acknowledgements({"acknowledgements", "the Acknowledgements window", [] {
                                                    auto view = std::make_shared<services::AcknowledgementsView>();
                                                    view->resize(720, 540);
                                                    view->show();
                                                    return std::shared_ptr<QWidget>(view);
                                                }});
const ShotState::Registration smallest({"acknowledgements-min", "the same at its smallest size: every line whole", [] {
                                            auto view = std::make_shared<services::AcknowledgementsView>();
                                            view->resize(view->minimumSize());
                                            view->show();
                                            return std::shared_ptr<QWidget>(view);
                                        }});

}  // namespace
}  // namespace tessaron::shots
