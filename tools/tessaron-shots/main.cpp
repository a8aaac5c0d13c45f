// tessaron-shots <state> <out.png> | --list
#include <QApplication>
#include <QDeadlineTimer>
#include <QPixmap>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "ShotState.hpp"

namespace tessaron::shots {

std::vector<ShotState>& ShotState::all() {
    static std::vector<ShotState> states;
    return states;
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
    QDeadlineTimer deadline(qint64(seconds * 1000));
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

}  // namespace tessaron::shots

namespace {

void printStates() {
    auto states = tessaron::shots::ShotState::all();
    std::sort(states.begin(), states.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const auto& state : states) std::cout << state.name << "  " << state.description << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--list") {
        printStates();
        return 0;
    }
    if (argc != 3) {
        std::cerr << "usage: tessaron-shots <state> <out.png> | --list\n\nstates:\n";
        printStates();
        return 2;
    }
    QApplication application(argc, argv);
    // No animation: each state is photographed as it stands, not on its way.
    QApplication::setEffectEnabled(Qt::UI_General, false);
    const std::string name = argv[1];
    const auto& states = tessaron::shots::ShotState::all();
    auto state = std::find_if(states.begin(), states.end(), [&](const auto& candidate) { return candidate.name == name; });
    if (state == states.end()) {
        std::cerr << "tessaron-shots: unknown state \"" << name << "\"\n";
        return 2;
    }
    try {
        std::shared_ptr<QWidget> window = state->build();
        // Let the last layout and paint settle before the grab.
        tessaron::shots::waitUntil([] { return false; }, 0.3);
        if (!window->grab().save(QString::fromLocal8Bit(argv[2]))) {
            std::cerr << "tessaron-shots: could not write " << argv[2] << "\n";
            return 1;
        }
    } catch (const std::exception& error) {
        std::cerr << "tessaron-shots " << name << ": " << error.what() << "\n";
        return 1;
    }
    return 0;
}
