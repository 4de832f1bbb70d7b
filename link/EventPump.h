// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

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

}  // namespace qw735
