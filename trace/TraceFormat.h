// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The wire trace's line format, shared by the writer and the simulated board
// (plain C++, no Qt), so that the two ends of one conversation can be laid
// side by side and compared line for line.

#include "trace/WireSteps.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace qw735 {

// Seen from the end that writes the trace.
enum class WireDirection {
    Sent,      // these bytes went out
    Received,  // these bytes came in one read: the reply first, then what came with it
    Dropped,   // these bytes came in and were discarded unread
    Line,      // the line settings changed
    Note,      // what the writer measured of the wire, in words
};

inline const char *WireDirectionName(WireDirection direction)
{
    switch (direction) {
    case WireDirection::Sent: return "sent";
    case WireDirection::Received: return "recv";
    case WireDirection::Dropped: return "drop";
    case WireDirection::Line: return "line";
    case WireDirection::Note: return "note";
    }
    std::unreachable();
}

// One event as a line: time since the start with microseconds, the port
// (gang writes only; empty otherwise), the step, the direction, then the
// bytes in hex or, for a Line or Note event, its text:
//     "     3.141593 COM3 loader 1731 recv 13\n"
inline std::string TraceLine(std::chrono::microseconds sinceStart, std::string_view port, WireStep step, int number,
                             WireDirection direction, std::span<const std::uint8_t> bytes, std::string_view text = {})
{
    const long long micros = sinceStart.count();
    char head[64];
    std::snprintf(head, sizeof head, "%6lld.%06lld ", micros / 1'000'000, micros % 1'000'000);
    char label[32];
    if (StepRow(step).numbered)
        std::snprintf(label, sizeof label, "%s %d", WireStepName(step), number);
    else
        std::snprintf(label, sizeof label, "%s", WireStepName(step));
    char middle[48];
    std::snprintf(middle, sizeof middle, "%-11s %s", label, WireDirectionName(direction));

    std::string line;
    line.reserve(32 + port.size() + 3 * bytes.size() + text.size());
    line += head;
    if (!port.empty()) {
        line += port;
        line += ' ';
    }
    line += middle;
    static constexpr char Hex[] = "0123456789ABCDEF";
    for (std::uint8_t value : bytes) {
        line += ' ';
        line += Hex[value >> 4];
        line += Hex[value & 0x0F];
    }
    if (!text.empty()) {
        line += ' ';
        line += text;
    }
    line += '\n';
    return line;
}

}  // namespace qw735
