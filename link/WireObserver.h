// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ModemLines.h"

#include <QString>
#include <cstdint>
#include <span>

namespace qw735 {

// What the link reports of the wire when asked to: every byte sent or taken,
// every discard and every change of line settings. Which step of a write
// they belong to is the writer's to say. Called on the link's own thread.
class WireObserver {
public:
    virtual ~WireObserver() = default;
    // Bytes that went out.
    virtual void OnSent(std::span<const std::uint8_t> bytes) = 0;
    // Bytes that came in one read: the reply first, then what came with it.
    virtual void OnReceived(std::span<const std::uint8_t> bytes) = 0;
    // Bytes that came in and were discarded unread.
    virtual void OnDropped(std::span<const std::uint8_t> bytes) = 0;
    // The line settings about to be put in force.
    virtual void OnLineSettings(const QString &settings) = 0;
    // DTR and RTS changed as asked, now (a server has confirmed it).
    virtual void OnLineChange(const LineChange &change) { (void)change; }
};

}  // namespace qw735
