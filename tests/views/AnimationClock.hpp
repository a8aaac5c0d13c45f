#pragma once

// A test's own animation clock: while it lives the window's animations are
// on, and they move only when the test steps the clock, never with the wall
// clock, whatever the event loop does meanwhile.

#include <QAbstractAnimation>
#include <QAnimationDriver>
#include <QCoreApplication>
#include <QEvent>

#include <algorithm>

#include "views/Motion.hpp"

namespace tessaron::testing {

class AnimationClock : public QAnimationDriver {
public:
    AnimationClock() {
        views::Motion::setEnabled(true);
        install();
        // Qt starts its timing when the first animation runs, from the wall
        // clock; an endless animation keeps it running on this clock from
        // here on, so each animation a test starts takes exactly the steps.
        keepAlive_.start();
        joinStartedAnimations();
        // Qt's timer goes on from the time it had counted before: the wall
        // clock's since its last frame (or since it started, however busy
        // the machine). A step of no time hands that to the endless one, so
        // that what starts from here on moves by the steps alone.
        advance();
    }
    ~AnimationClock() override {
        keepAlive_.stop();
        uninstall();
        views::Motion::setEnabled(false);
    }
    AnimationClock(const AnimationClock&) = delete;
    AnimationClock& operator=(const AnimationClock&) = delete;

    qint64 elapsed() const override { return now_; }

    // Moves every running animation `milliseconds` on. Animations started
    // since the last step join first (Qt starts them from the event loop).
    void step(qint64 milliseconds) {
        joinStartedAnimations();
        now_ += milliseconds;
        advance();
    }
    // Steps in frames of 1/60 s until `milliseconds` have passed.
    void run(qint64 milliseconds) {
        for (qint64 passed = 0; passed < milliseconds; passed += 16) step(std::min<qint64>(16, milliseconds - passed));
    }

private:
    class Endless : public QAbstractAnimation {
    public:
        int duration() const override { return -1; }

    protected:
        void updateCurrentTime(int) override {}
    };

    // Qt hands a started animation to its timer through queued calls.
    static void joinStartedAnimations() {
        for (int round = 0; round < 3; ++round) QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    }

    qint64 now_ = 0;
    Endless keepAlive_;
};

}  // namespace tessaron::testing
