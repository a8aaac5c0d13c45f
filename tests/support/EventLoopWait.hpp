#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QTest>
#include <QTimer>

#include <chrono>

#include "WaitUntil.hpp"

namespace tessaron::testing {

// Runs the event loop until a precise single-shot timer of `delay`, started
// now, has fired. Qt delivers posted events in order and timers in the order
// they fall due, so by then every event posted before this call, and every
// timer that was due no later, has been handled: the check that something
// did NOT happen may follow. Unlike a plain qWait, a busy machine cannot make
// it return early.
inline bool deliverEventsDueWithin(std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    bool fired = false;
    QTimer marker;
    marker.setTimerType(Qt::PreciseTimer);
    marker.setSingleShot(true);
    QObject::connect(&marker, &QTimer::timeout, [&fired] { fired = true; });
    marker.start(delay);
    return QTest::qWaitFor([&fired] { return fired; }, int(delay.count() + conditionTimeout.count()));
}

}  // namespace tessaron::testing
