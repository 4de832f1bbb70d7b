// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/StepTracker.h"

#include "trace/WireTrace.h"

#include <utility>

namespace qw735 {

namespace {

ProgressDisplay &Unseen()
{
    // Keeps no state: one serves every thread.
    static NoProgress none;
    return none;
}

}  // namespace

StepTracker::StepTracker() : StepTracker(Unseen()) {}

StepTracker::StepTracker(ProgressDisplay &progress, WireTrace *trace) : progress_(progress), trace_(trace) {}

void StepTracker::SetMaximum(float maximum)
{
    progress_.SetMaximum(StepRow(step_).stage, maximum);
}

void StepTracker::SetRoundTrip(std::chrono::microseconds roundTrip)
{
    roundTrip_ = roundTrip;
    const double ms = static_cast<double>(roundTrip.count()) / 1000.0;
    if (trace_)
        trace_->OnNote(step_, stepNumber_, QStringLiteral("round trip %1 ms").arg(ms, 0, 'f', 3));
    progress_.SetRoundTrip(ms);
}

void StepTracker::OnSent(std::span<const std::uint8_t> bytes)
{
    if (trace_)
        trace_->OnBytes(step_, stepNumber_, WireDirection::Sent, bytes);
}

void StepTracker::OnReceived(std::span<const std::uint8_t> bytes)
{
    if (trace_)
        trace_->OnBytes(step_, stepNumber_, WireDirection::Received, bytes);
}

void StepTracker::OnDropped(std::span<const std::uint8_t> bytes)
{
    if (trace_)
        trace_->OnBytes(step_, stepNumber_, WireDirection::Dropped, bytes);
}

void StepTracker::OnLineSettings(const QString &settings)
{
    if (trace_)
        trace_->OnLineSettings(step_, stepNumber_, settings);
}

}  // namespace qw735
