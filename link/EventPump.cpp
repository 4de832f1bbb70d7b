// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/EventPump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <array>
#include <utility>

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

// What one pass of a pumped wait does, step by step.
enum class Step { Events, Down, Held, Time };

// A pass of each order, as WaitOrder describes it.
std::array<Step, 4> PassOf(WaitOrder order)
{
    switch (order) {
    case WaitOrder::EventsFirst: return {Step::Events, Step::Down, Step::Held, Step::Time};
    case WaitOrder::TimeFirst: return {Step::Time, Step::Events, Step::Down, Step::Held};
    case WaitOrder::HeldFirst: return {Step::Held, Step::Down, Step::Time, Step::Events};
    }
    std::unreachable();
}

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
    const std::array<Step, 4> pass = PassOf(order);
    for (;;) {
        for (const Step step : pass) {
            switch (step) {
            case Step::Events: PumpOnce(pump, checks); break;
            case Step::Down:
                if (checks.down())
                    return WaitEnd::Down;
                break;
            case Step::Held:
                if (checks.held())
                    return WaitEnd::Held;
                break;
            case Step::Time:
                if (checks.timedOut())
                    return WaitEnd::TimedOut;
                break;
            }
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
