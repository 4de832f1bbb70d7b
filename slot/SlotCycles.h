// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdint>
#include <vector>

namespace qw735 {

// The cycle of every slot in the automatic mode, from the watcher's reports
// and the writes' ends, with no device and no clock of its own:
//
//   empty -> settling -> ready -> writing -> written -> empty
//
// A write belongs to one appearance of a device: a board left plugged is
// never written twice, a board plugged again is a new appearance and is
// written again. A device that goes while it is written ends its write on
// its own (the write reports the port lost); the slot stays writing until
// that end is told, and a device plugged in the meantime is written after
// it. A write that failed leaves the slot written, like one that passed,
// until its device goes. Ending (Ctrl-C, a count of boards) lets the writes
// under way finish and starts no other; Finished() says when none is left.
class SlotCycles {
public:
    enum class State : std::uint8_t {
        Empty,     // no device
        Settling,  // a device appeared; its settle time runs
        Ready,     // ready to write; not started yet (waiting for the count, or stopped)
        Writing,   // its write runs
        Written,   // written (or tried): waiting for the device to go
    };
    // How a write ended, as far as the cycle cares.
    enum class End : std::uint8_t {
        Board,    // a board answered: it counts, passed or failed
        NoBoard,  // nothing answered (a remote slot's server with no board behind it): it does not count
    };

    // `count`: boards to write in all before the run ends; 0 for no end.
    explicit SlotCycles(int slotCount, int count = 0);

    // The watcher's reports.
    void Appeared(int slot);
    void Ready(int slot);
    void Gone(int slot);

    // The slots whose write is due now, each marked writing: ready, not
    // written in this appearance, within the count, and not stopped. Asked
    // after every report and every end.
    [[nodiscard]] std::vector<int> StartDue();
    void WriteEnded(int slot, End end);
    // No write starts any more; those under way finish.
    void Stop();

    State StateOf(int slot) const;
    int WritesRunning() const { return running_; }
    // Boards whose write ended with a board answering.
    int BoardsWritten() const { return written_; }
    // Nothing writing and nothing more to start: stopped, or the count
    // reached. The run ends here.
    bool Finished() const;

private:
    enum class Device : std::uint8_t { None, Settling, Ready };
    struct Cycle {
        Device device = Device::None;
        // Appearances counted on this slot; a write is tied to one of them.
        std::uint64_t appearance = 0;
        bool writing = false;
        std::uint64_t writtenAppearance = 0;  // the last one written or tried; 0: none
    };
    Cycle &At(int slot);
    const Cycle &At(int slot) const;
    bool CountReached() const;

    std::vector<Cycle> cycles_;
    int count_ = 0;
    int running_ = 0;
    int written_ = 0;
    bool stopped_ = false;
};

}  // namespace qw735
