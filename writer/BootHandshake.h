// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdint>

namespace qw735 {

class Link;
class StepTracker;

// Boot-mode handshake bytes, at 9600 baud.
inline constexpr std::uint8_t SyncByte = 0x00;           // host: bit-rate synchronisation, repeated
inline constexpr std::uint8_t HandshakeRequest = 0x55;   // host: are you listening?

// Brings the target's boot mode into step and has it confirm: 0x00 every
// 10 ms until anything answers (at most 51), then 0x55 answered by 0xAA
// within 500 ms. The port is open at 9600 baud. False on any failure; when
// the link went down meanwhile, link.IsDown() tells. `steps` learns the
// step.
bool BootHandshake(Link &link, StepTracker &steps);

}  // namespace qw735
