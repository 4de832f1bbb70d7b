// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/BoardTrace.h"

#include <string>
#include <utility>

namespace qw735::sim {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

BoardTrace::BoardTrace(std::FILE *out, Clock::time_point start) : out_(out), start_(start) {}

BoardTrace::~BoardTrace()
{
    Flush();
}

void BoardTrace::EnterPhase(Phase phase)
{
    Flush();
    if (phase == Phase::Sync) {
        sizeBytes_.clear();
        loaderLength_ = 0;
    }
    phase_ = phase;
    received_ = 0;
    sent_ = 0;
}

void BoardTrace::Line(const LineSettings &settings)
{
    if (settings.baud == baud_)
        return;
    Flush();
    baud_ = settings.baud;
    WireStep step;
    int number;
    Label(false, step, number);
    std::string text = std::to_string(settings.baud) + " baud";
    if (!settings.raw)
        text += ", not raw";
    if (settings.softwareFlowControl)
        text += ", XON/XOFF";
    if (settings.hardwareFlowControl)
        text += ", RTS/CTS";
    Emit(step, number, WireDirection::Line, {}, text);
}

void BoardTrace::Received(std::uint8_t value, bool lost)
{
    if (!lost) {
        ++received_;
        if (phase_ == Phase::LoaderSize && sizeBytes_.size() < 2) {
            sizeBytes_.push_back(value);
            if (sizeBytes_.size() == 2)
                loaderLength_ = (sizeBytes_[0] << 8) | sizeBytes_[1];
        }
    }
    WireStep step;
    int number;
    Label(false, step, number);
    const WireDirection direction = lost ? WireDirection::Dropped : WireDirection::Received;
    if (pending_.empty() || step != pendingStep_ || number != pendingNumber_ || direction != pendingDirection_) {
        Flush();
        pendingStep_ = step;
        pendingNumber_ = number;
        pendingDirection_ = direction;
        pendingAt_ = Clock::now();
    }
    pending_.push_back(value);
}

void BoardTrace::Sent(std::uint8_t value)
{
    Flush();
    ++sent_;
    WireStep step;
    int number;
    Label(true, step, number);
    Emit(step, number, WireDirection::Sent, {value});
}

// The writer's step for the byte at hand, from the phase and the counts:
// the k-th request opens block k, the send after the last echo is the end
// mark, the checksum's acknowledgement is the final reply.
void BoardTrace::Label(bool sending, WireStep &step, int &number) const
{
    number = 0;
    switch (phase_) {
    case Phase::Sync: step = WireStep::Sync; return;
    case Phase::Handshake: step = WireStep::Handshake; return;
    case Phase::LoaderSize: step = WireStep::LoaderSize; return;
    case Phase::LoaderBody:
        if (sending && sent_ > loaderLength_) {
            step = WireStep::EndMark;
            return;
        }
        step = WireStep::Loader;
        number = sending ? sent_ : received_;
        return;
    case Phase::Command: step = WireStep::Command; return;
    case Phase::Header: step = WireStep::Size; return;
    case Phase::Blocks:
        step = WireStep::Block;
        number = sent_;
        return;
    case Phase::Checksum: step = sending && sent_ > 1 ? WireStep::Final : WireStep::Checksum; return;
    case Phase::Done: step = WireStep::Done; return;
    case Phase::Program: step = WireStep::Program; return;
    }
    std::unreachable();
}

void BoardTrace::Emit(WireStep step, int number, WireDirection direction, const std::vector<std::uint8_t> &bytes, std::string_view text)
{
    const auto at = direction == WireDirection::Sent || direction == WireDirection::Line ? Clock::now() : pendingAt_;
    const std::string line =
        TraceLine(std::chrono::duration_cast<std::chrono::microseconds>(at - start_), {}, step, number, direction, bytes, text);
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

void BoardTrace::Flush()
{
    if (pending_.empty())
        return;
    Emit(pendingStep_, pendingNumber_, pendingDirection_, pending_);
    pending_.clear();
}

}  // namespace qw735::sim
