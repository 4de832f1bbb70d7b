// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The steps of a write, listed once: how the trace names each, which stage
// of the progress it belongs to, and where an interrupted write stopped when
// it was in it. Plain C++, no Qt: the simulated board names its steps from
// the same table.

#include <array>
#include <cstddef>
#include <string>

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
};

// Where a write is, as its progress shows it: the handshake until the loader
// transfer sets its maximum, then the loader, then the image.
enum class ProgressStage { Handshake, Loader, Image };

struct WireStepRow {
    WireStep step;
    const char *name;       // in the trace: "end mark"
    bool numbered;          // the trace and the stopping place add the number
    ProgressStage stage;    // the progress stage a maximum set in it begins
    const char *stoppedAt;  // "ended by SIGINT at block 17": before the number, if any
};

inline constexpr std::array<WireStepRow, 12> WireSteps = {{
    {WireStep::Open, "open", false, ProgressStage::Handshake, "before the handshake"},
    {WireStep::Sync, "sync", false, ProgressStage::Handshake, "during the handshake"},
    {WireStep::Handshake, "handshake", false, ProgressStage::Handshake, "during the handshake"},
    {WireStep::LoaderSize, "loader size", false, ProgressStage::Loader, "at the loader's size"},
    {WireStep::Loader, "loader", true, ProgressStage::Loader, "at loader byte"},
    {WireStep::EndMark, "end mark", false, ProgressStage::Loader, "at the loader's end mark"},
    {WireStep::Command, "command", false, ProgressStage::Image, "at the program command"},
    {WireStep::Size, "size", false, ProgressStage::Image, "at the image size"},
    {WireStep::Block, "block", true, ProgressStage::Image, "at block"},
    {WireStep::Checksum, "checksum", false, ProgressStage::Image, "at the checksum"},
    {WireStep::Final, "final", false, ProgressStage::Image, "waiting for the final reply"},
    {WireStep::Done, "done", false, ProgressStage::Image, "waiting for the final reply"},
}};

constexpr const WireStepRow &StepRow(WireStep step)
{
    return WireSteps[static_cast<std::size_t>(step)];
}

// Each row sits at its step's place, so that StepRow finds it by index.
consteval bool RowsInStepOrder()
{
    for (std::size_t i = 0; i < WireSteps.size(); ++i) {
        if (static_cast<std::size_t>(WireSteps[i].step) != i)
            return false;
    }
    return WireSteps.size() == static_cast<std::size_t>(WireStep::Done) + 1;
}
static_assert(RowsInStepOrder(), "WireSteps lists every step once, in the order of WireStep");

inline const char *WireStepName(WireStep step)
{
    return StepRow(step).name;
}

// Where a write in `step` stopped: "at block 17", "during the handshake".
inline std::string StoppedAt(WireStep step, int number)
{
    const WireStepRow &row = StepRow(step);
    if (!row.numbered)
        return row.stoppedAt;
    return std::string(row.stoppedAt) + ' ' + std::to_string(number);
}

}  // namespace qw735
