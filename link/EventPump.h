// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <functional>

namespace qw735 {

// Runs pending events, timer and serial-port events included, on the one
// thread the writer lives on. Every wait loop calls it between polls.
class EventPump {
public:
    virtual ~EventPump() = default;
    // Processes pending events; when there are none, blocks until one comes,
    // so a wait costs no CPU. Callers always have a timer armed to wake it.
    virtual void Pump() = 0;
    // Processes the events already pending and returns without waiting for
    // more: for a pass of a wait loop whose outcome is decided already, where
    // nothing more may come to wake a blocking pump before the timer does.
    virtual void PumpPending() = 0;
};

// The pump of a Qt program: processes the application's events (window
// events too, when there are windows) and sleeps while nothing happens.
class QtEventPump : public EventPump {
public:
    void Pump() override;
    void PumpPending() override;
};

// How a pumped wait ended.
enum class WaitEnd {
    Held,      // what it waited for holds
    TimedOut,  // the time allowed has passed
    Down,      // waiting can no longer succeed (the line lost, the wait abandoned)
};

// In which order one pass of a pumped wait runs the events and asks its
// three questions. The order decides which answer a pass that finds more
// than one gives, and whether a wait that is over before it begins pumps at
// all; each is the design of some wait, so the caller says which.
enum class WaitOrder {
    // Events, then down, held, time: what is there when the time has run
    // out still counts (the reply wait).
    EventsFirst,
    // Time, then events, down, held: what comes only after the time has run
    // out counts for nothing (the handshake's synchronisation attempt).
    TimeFirst,
    // Held, then down, time, events: a wait over before it begins pumps
    // nothing, and what came before the line went down still counts (the
    // delay, the remote port's waits on its server).
    HeldFirst,
};

// The three questions of a pumped wait. They may change only in event
// handlers on the waiting thread.
struct WaitChecks {
    std::function<bool()> held;      // what is waited for has come
    std::function<bool()> timedOut;  // the time allowed has passed
    std::function<bool()> down;      // waiting can no longer succeed
};

// Pumps events until what `checks` waits for holds, its time has passed or
// it can no longer succeed, asking in `order`. A pass sleeps in the pump
// only while none of the three holds.
WaitEnd PumpUntil(EventPump &pump, WaitOrder order, const WaitChecks &checks);
// The same with the time allowed `limitMs` from now, on a timer of its own.
WaitEnd PumpUntil(EventPump &pump, WaitOrder order, int limitMs, const std::function<bool()> &held,
                  const std::function<bool()> &down);

}  // namespace qw735
