// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/WireObserver.h"
#include "trace/TraceFormat.h"
#include "writer/Feedback.h"

#include <chrono>
#include <optional>

namespace qw735 {

class WireTrace;

// The step of a write, told by the conversations with the board as they go.
// It stamps the step on what the link reports of the wire, for the trace,
// and passes the progress on with its stage (handshake, loader, image); it
// still tells where the write stopped once it has ended.
class StepTracker : public WireObserver {
public:
    // Shows no progress and traces nothing.
    StepTracker();
    // Wire events go to `trace` when there is one; the link reports them
    // only once this tracker is its observer.
    explicit StepTracker(ProgressDisplay &progress, WireTrace *trace = nullptr);

    // The step that the next wire events belong to. `number` counts loader
    // bytes and blocks from 1.
    void SetStep(WireStep step, int number = 0)
    {
        step_ = step;
        stepNumber_ = number;
    }
    WireStep Step() const { return step_; }
    int StepNumber() const { return stepNumber_; }

    // The progress of the transfer under way: maximum = bytes to send in it,
    // value = bytes sent. A maximum begins the stage of the current step.
    void SetMaximum(float maximum);
    void SetValue(float value) { progress_.SetValue(value); }

    // The round trip the handshake measured: traced, shown with the
    // progress, and kept for the write's record.
    void SetRoundTrip(std::chrono::microseconds roundTrip);
    std::optional<std::chrono::microseconds> RoundTrip() const { return roundTrip_; }

    void OnSent(std::span<const std::uint8_t> bytes) override;
    void OnReceived(std::span<const std::uint8_t> bytes) override;
    void OnDropped(std::span<const std::uint8_t> bytes) override;
    void OnLineSettings(const QString &settings) override;
    // Traced with its time, as "DTR on, RTS off (D1R0)".
    void OnLineChange(const LineChange &change) override;

    // A handshake begins that is try `attempt` of `tries`: traced and shown.
    void SetAttempt(int attempt, int tries);
    // A note in the trace at the current step.
    void Note(const QString &text);

private:
    ProgressDisplay &progress_;
    WireTrace *trace_;
    WireStep step_ = WireStep::Open;
    int stepNumber_ = 0;
    std::optional<std::chrono::microseconds> roundTrip_;
};

}  // namespace qw735
