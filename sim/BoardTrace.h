// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "sim/TargetSim.h"
#include "trace/TraceFormat.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace qw735::sim {

// The board's side of the wire trace, in the writer's format and with the
// writer's step names, worked out from the board's phase and what it has
// counted so far. Bytes that come in one after another within one step make
// one line, stamped with the first; a reply or a new step ends the line.
// Runs on the board's thread only.
class BoardTrace {
public:
    BoardTrace(std::FILE *out, std::chrono::steady_clock::time_point start);
    ~BoardTrace();

    void EnterPhase(Phase phase);
    // The line settings as read with the bytes that follow.
    void Line(const LineSettings &settings);
    // A byte from the host; `lost` when the board did not take it: it came
    // at a speed the board does not listen at, or before the loader's UART
    // was ready.
    void Received(std::uint8_t value, bool lost);
    void Sent(std::uint8_t value);

private:
    void Label(bool sending, WireStep &step, int &number) const;
    void Emit(WireStep step, int number, WireDirection direction, const std::vector<std::uint8_t> &bytes, std::string_view text = {});
    void Flush();

    std::FILE *out_;
    std::chrono::steady_clock::time_point start_;
    Phase phase_ = Phase::Sync;
    int baud_ = -1;
    int loaderLength_ = 0;
    std::vector<std::uint8_t> sizeBytes_;
    int received_ = 0;  // bytes taken in this phase
    int sent_ = 0;      // bytes sent in this phase

    // The line being gathered.
    std::vector<std::uint8_t> pending_;
    WireStep pendingStep_ = WireStep::Sync;
    int pendingNumber_ = 0;
    WireDirection pendingDirection_ = WireDirection::Received;
    std::chrono::steady_clock::time_point pendingAt_;
};

}  // namespace qw735::sim
