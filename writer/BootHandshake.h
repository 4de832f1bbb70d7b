// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/WriteOptions.h"

#include <chrono>
#include <cstdint>

namespace qw735 {

class Link;
class StepTracker;

// Boot-mode handshake bytes, at 9600 baud.
inline constexpr std::uint8_t SyncByte = 0x00;           // host: bit-rate synchronisation, repeated
inline constexpr std::uint8_t HandshakeRequest = 0x55;   // host: are you listening?

// How a handshake ended. Every ending but Accepted is "Err 1" to the user.
enum class HandshakeOutcome {
    Accepted,      // 0x55 answered by 0xAA
    NoSyncAnswer,  // nothing answered the synchronisation bytes
    Refused,       // the board answered 0x55 with another byte, or not at all
    LinkDown,      // the port was lost or the write abandoned
};

struct HandshakeResult {
    HandshakeOutcome outcome;
    // From 0x55 going out to its 0xAA coming in: what this line adds to
    // every reply the write waits for. Measured only when Accepted.
    std::chrono::microseconds roundTrip{0};
};

// Brings the target's boot mode into step and has it confirm: 0x00 every
// 10 ms until anything answers (at most 51, or for the options' wait for
// the board when that is longer), then 0x55 answered by 0xAA within 500 ms.
// The port is open at 9600 baud. `steps` learns the step and the round trip.
//
// This is one attempt of the whole handshake (HandshakeAttempt); a caller
// that can put the board into boot mode again may run another when the
// outcome is NoSyncAnswer.
HandshakeResult BootHandshake(Link &link, StepTracker &steps, const WriteOptions &options = {});

}  // namespace qw735
