#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <memory>

#include "WaitUntil.hpp"

namespace tessaron::testing {

// Runs the event loop until a precise single-shot timer of `delay`, started
// now, has fired, and then until three queued calls posted one after the
// other have run. Qt fires timers in the order they fall due and delivers
// posted events in order, so by then every timer that was due no later,
// every event posted before this call, and what those posted in turn (a few
// links deep) has been handled: a check that something did NOT happen may
// follow. Unlike a plain qWait, a busy machine cannot make it return early.
inline bool deliverEventsDueWithin(std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    const int timeout = int(delay.count() + conditionTimeout.count());
    if (delay.count() > 0) {
        bool fired = false;
        QTimer marker;
        marker.setTimerType(Qt::PreciseTimer);
        marker.setSingleShot(true);
        QObject::connect(&marker, &QTimer::timeout, [&fired] { fired = true; });
        marker.start(delay);
        if (!QTest::qWaitFor([&fired] { return fired; }, timeout)) return false;
    }
    for (int link = 0; link < 3; ++link) {
        // Shared, since a call still queued after a timeout runs later.
        auto delivered = std::make_shared<bool>(false);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [delivered] { *delivered = true; }, Qt::QueuedConnection);
        if (!QTest::qWaitFor([delivered] { return *delivered; }, timeout)) return false;
    }
    return true;
}

}  // namespace tessaron::testing
