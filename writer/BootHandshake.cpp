// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/BootHandshake.h"

#include "link/Link.h"
#include "writer/StepTracker.h"

namespace qw735 {

namespace {

constexpr std::uint8_t HandshakeAccepted = 0xAA;  // target: yes, to 0x55

constexpr int SyncIntervalMs = 10;     // one 0x00 per interval until any answer
constexpr int SyncAttemptLimit = 50;   // silent attempts tolerated after the first
constexpr int HandshakeReplyMs = 500;  // limit for the 0xAA

enum class SyncOutcome { Answered, Silent, LinkDown };

// One 0x00 and a wait of up to one interval for anything at all. Unlike the
// reply wait, the loop tests the flag first, then runs the events, then
// looks at the waiting count: an answer that comes only after the interval
// has run out costs another attempt; the boot ROM does not mind.
SyncOutcome SyncAttempt(Link &link)
{
    link.ArmTimeout(SyncIntervalMs);
    link.SendByte(SyncByte);
    for (;;) {
        if (link.TimedOut())
            return SyncOutcome::Silent;
        link.PumpEvents();
        if (link.IsDown())
            return SyncOutcome::LinkDown;
        if (link.WaitingCount() != 0)
            return SyncOutcome::Answered;
    }
}

bool Synchronise(Link &link, StepTracker &steps)
{
    int attempts = 0;
    steps.SetStep(WireStep::Sync);
    for (;;) {
        switch (SyncAttempt(link)) {
        case SyncOutcome::Answered:
            return true;
        case SyncOutcome::LinkDown:
            return false;
        case SyncOutcome::Silent:
            if (++attempts > SyncAttemptLimit)
                return false;
        }
    }
}

bool Confirm(Link &link, StepTracker &steps)
{
    // The value of the synchronisation answer means nothing; drop it and
    // whatever came with it.
    link.DiscardInput();
    steps.SetStep(WireStep::Handshake);
    link.SendByte(HandshakeRequest);
    // The reply wait's own order (events, the waiting count, then the flag):
    // a first byte other than 0xAA fails at once, silence after 500 ms.
    return link.WaitForByte(HandshakeAccepted, HandshakeReplyMs) == ReplyResult::Expected;
}

}  // namespace

bool BootHandshake(Link &link, StepTracker &steps)
{
    return Synchronise(link, steps) && Confirm(link, steps);
}

}  // namespace qw735
