// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/EventPump.h"
#include "link/Link.h"
#include "link/SerialPort.h"
#include "sim/TargetSim.h"

#include <chrono>
#include <functional>
#include <memory>

namespace qw735::test {

// A host link on the slave side of a simulated board's pseudo-terminal.
struct HostSide {
    explicit HostSide(sim::BoardScript script = {});
    ~HostSide();

    std::unique_ptr<sim::TargetSim> board;
    SerialPort port;
    QtEventPump pump;
    Link link{port, pump};
};

// A healthy board's script with one change: Script([](auto &s) { s.endMark.reset(); }).
sim::BoardScript Script(const std::function<void(sim::BoardScript &)> &change);

// Pumps events until `done` holds or `timeout` passes; returns `done()`.
bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout);

// This process's CPU time (user + system).
std::chrono::microseconds ProcessCpuTime();

// Milliseconds since `start`.
double MsSince(std::chrono::steady_clock::time_point start);

}  // namespace qw735::test
