// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The wire trace's line format, shared by the writer and the simulated board
// (plain C++, no Qt), so that the two ends of one conversation can be laid
// side by side and compared line for line.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace qw735 {

// The steps of a write as both ends name them. The loader's steps and the
// blocks carry a number (loader byte, block, both from 1).
enum class WireStep {
    Open,        // the port has just been opened
    Sync,        // 0x00 until anything answers
    Handshake,   // 0x55 answered by 0xAA
    LoaderSize,  // the two size bytes
    Loader,      // one loader byte and its echo (numbered)
    EndMark,     // the boot mode's 0xAA after the loader
    Command,     // the switch to 38400, "P" 0x00 answered by 0x06
    Size,        // four 0x00 and the four size bytes
    Block,       // the request 0x11, then 0x11 and 64 bytes (numbered)
    Checksum,    // the request 0x11, then 0x11 and the checksum
    Final,       // the loader's 0x06 for the whole image
    Done,        // after the write (the board's trace only)
    Program,     // out of boot mode, running its program (the board's trace only)
};

// Seen from the end that writes the trace.
enum class WireDirection {
    Sent,      // these bytes went out
    Received,  // these bytes came in one read: the reply first, then what came with it
    Dropped,   // these bytes came in and were discarded unread
    Line,      // the line settings changed
    Note,      // what the writer measured of the wire, in words
};

inline const char *WireStepName(WireStep step)
{
    switch (step) {
    case WireStep::Open: return "open";
    case WireStep::Sync: return "sync";
    case WireStep::Handshake: return "handshake";
    case WireStep::LoaderSize: return "loader size";
    case WireStep::Loader: return "loader";
    case WireStep::EndMark: return "end mark";
    case WireStep::Command: return "command";
    case WireStep::Size: return "size";
    case WireStep::Block: return "block";
    case WireStep::Checksum: return "checksum";
    case WireStep::Final: return "final";
    case WireStep::Done: return "done";
    case WireStep::Program: return "program";
    }
    std::unreachable();
}

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
    if (step == WireStep::Loader || step == WireStep::Block)
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
