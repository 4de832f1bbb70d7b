// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdint>

namespace qw735 {

class Link;
class StepTracker;

// Boot-mode handshake bytes, at 9600 baud.
inline constexpr std::uint8_t SyncByte = 0x00;           // host: bit-rate synchronisation, repeated
inline constexpr std::uint8_t HandshakeRequest = 0x55;   // host: are you listening?
inline constexpr std::uint8_t HandshakeAccepted = 0xAA;  // target: yes

inline constexpr int SyncIntervalMs = 10;       // one 0x00 per interval until any answer
inline constexpr int SyncAttemptLimit = 50;     // silent attempts tolerated after the first
inline constexpr int HandshakeReplyMs = 500;    // limit for the 0xAA

// Brings the target's boot mode into step and has it confirm: 0x00 every
// 10 ms until anything answers (at most 51), then 0x55 answered by 0xAA
// within 500 ms. The port is open at 9600 baud. False on any failure; when
// the link went down meanwhile, link.IsDown() tells. `steps` learns the
// step.
bool BootHandshake(Link &link, StepTracker &steps);

}  // namespace qw735
