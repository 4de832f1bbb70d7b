// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/BootHandshake.h"

#include "link/Link.h"
#include "writer/StepTracker.h"

#include <algorithm>
#include <utility>

namespace qw735 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t HandshakeAccepted = 0xAA;  // target: yes, to 0x55

constexpr int SyncIntervalMs = 10;     // one 0x00 per interval until any answer
constexpr int SyncAttemptLimit = 50;   // silent attempts tolerated after the first
constexpr int HandshakeReplyMs = 500;  // limit for the 0xAA

enum class SyncOutcome { Answered, Silent, LinkDown };

// One 0x00 and a wait of up to one interval for anything at all. Unlike the
// reply wait, each pass tests the flag first, then runs the events, then
// looks at the waiting count: an answer that comes only after the interval
// has run out costs another attempt; the boot ROM does not mind.
SyncOutcome SyncAttempt(Link &link)
{
    link.StartTimeout(SyncIntervalMs);
    link.SendByte(SyncByte);
    switch (link.PumpUntilWaiting(1, WaitOrder::TimeFirst)) {
    case WaitEnd::Held: return SyncOutcome::Answered;
    case WaitEnd::TimedOut: return SyncOutcome::Silent;
    case WaitEnd::Down: return SyncOutcome::LinkDown;
    }
    std::unreachable();
}

struct Synchronised {
    SyncOutcome outcome;
    int zerosSent;
};

// 0x00 every interval until anything answers. It gives up once more than
// 50 attempts were silent and `deadline` has passed: a board the user puts
// in boot mode only after starting the write has until then.
Synchronised SynchroniseUntil(Link &link, StepTracker &steps, Clock::time_point deadline)
{
    steps.SetStep(WireStep::Sync);
    for (int attempts = 0;;) {
        const SyncOutcome outcome = SyncAttempt(link);
        ++attempts;
        if (outcome != SyncOutcome::Silent || (attempts > SyncAttemptLimit && Clock::now() >= deadline))
            return {outcome, attempts};
    }
}

// 0x55 and the wait for its 0xAA, timed. On a line slower than the sync
// interval the host has sent more 0x00 by the time it sees the first answer;
// a boot ROM that answers each of them does so before it hears 0x55, so
// those answers come ahead of the 0xAA. Up to `unanswered` of them are
// taken for what they are instead of as the reply to 0x55.
HandshakeResult Confirm(Link &link, StepTracker &steps, int unanswered)
{
    steps.SetStep(WireStep::Handshake);
    link.SendByte(HandshakeRequest);
    const auto sent = Clock::now();
    // The reply wait's own order (events, the waiting count, then the flag):
    // a byte other than 0xAA that answers nothing earlier fails at once,
    // silence after 500 ms.
    switch (link.WaitForByte(HandshakeAccepted, HandshakeReplyMs, unanswered)) {
    case ReplyResult::Expected: break;
    case ReplyResult::LinkDown: return {HandshakeOutcome::LinkDown};
    case ReplyResult::NoReply:
    case ReplyResult::OtherByte: return {HandshakeOutcome::Refused};
    }
    const auto roundTrip = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent);
    steps.SetRoundTrip(roundTrip);
    return {HandshakeOutcome::Accepted, roundTrip};
}

// One attempt of the whole handshake: synchronise until `deadline` (at
// least the 51 designed attempts), then confirm.
HandshakeResult HandshakeAttempt(Link &link, StepTracker &steps, Clock::time_point deadline)
{
    const Synchronised sync = SynchroniseUntil(link, steps, deadline);
    switch (sync.outcome) {
    case SyncOutcome::Answered: break;
    case SyncOutcome::Silent: return {HandshakeOutcome::NoSyncAnswer};
    case SyncOutcome::LinkDown: return {HandshakeOutcome::LinkDown};
    }
    // The value of the synchronisation answer means nothing; drop it and
    // whatever came with it. Each 0x00 sent gets one answer at most.
    const auto answered = link.DiscardInput();
    if (!answered)
        return {HandshakeOutcome::LinkDown};
    return Confirm(link, steps, std::max(sync.zerosSent - *answered, 0));
}

}  // namespace

HandshakeResult BootHandshake(Link &link, StepTracker &steps, const WriteOptions &options)
{
    return HandshakeAttempt(link, steps, Clock::now() + std::chrono::milliseconds(options.waitForBoardMs));
}

}  // namespace qw735
