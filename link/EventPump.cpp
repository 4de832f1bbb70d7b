// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/EventPump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace qw735 {

void QtEventPump::Pump()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtEventPump::PumpPending()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

namespace {

// One pass of the pump. What the checks look at changes only in event
// handlers on this thread, so a pump that blocks after they said no misses
// nothing; once one said yes, it runs just what is pending, since nothing
// more may come to wake it before the timer fires.
void PumpOnce(EventPump &pump, const WaitChecks &checks)
{
    if (checks.held() || checks.timedOut() || checks.down())
        pump.PumpPending();
    else
        pump.Pump();
}

}  // namespace

WaitEnd PumpUntil(EventPump &pump, WaitOrder order, const WaitChecks &checks)
{
    for (;;) {
        switch (order) {
        case WaitOrder::EventsFirst:
            PumpOnce(pump, checks);
            if (checks.down())
                return WaitEnd::Down;
            if (checks.held())
                return WaitEnd::Held;
            if (checks.timedOut())
                return WaitEnd::TimedOut;
            break;
        case WaitOrder::TimeFirst:
            if (checks.timedOut())
                return WaitEnd::TimedOut;
            PumpOnce(pump, checks);
            if (checks.down())
                return WaitEnd::Down;
            if (checks.held())
                return WaitEnd::Held;
            break;
        case WaitOrder::HeldFirst:
            if (checks.held())
                return WaitEnd::Held;
            if (checks.down())
                return WaitEnd::Down;
            if (checks.timedOut())
                return WaitEnd::TimedOut;
            // None holds, and none can change before the pump runs.
            pump.Pump();
            break;
        }
    }
}

WaitEnd PumpUntil(EventPump &pump, WaitOrder order, int limitMs, const std::function<bool()> &held,
                  const std::function<bool()> &down)
{
    bool expired = false;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, [&expired] { expired = true; });
    limit.start(limitMs);
    return PumpUntil(pump, order, {held, [&expired] { return expired; }, down});
}

}  // namespace qw735
