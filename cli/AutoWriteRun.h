// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "cli/Console.h"
#include "cli/WriteRun.h"
#include "production/AutoRun.h"

#include <QObject>
#include <memory>
#include <optional>
#include <vector>

namespace qw735 {

class RecordKeeper;
struct RunOutputs;
struct RecordedProgram;

struct AutoWriteRunOptions {
    std::vector<Slot> slotList;
    AutoSettings settings;
    BoardsOfRun boards;  // quiet: nothing on stderr but mistakes
};

// qw735-write --auto: writes each board as it is plugged into a slot, a line
// per board (when it ended, its slot, its result, how long it took), until
// Ctrl-C or --count boards; then a summary: boards written, passed, failed,
// by slot, the yield. The first Ctrl-C lets the boards being written finish,
// a second stops them. Every board written has one record.
class AutoWriteRun : public QObject {
    Q_OBJECT
public:
    explicit AutoWriteRun(AutoWriteRunOptions options);
    ~AutoWriteRun() override;

    // Returns the exit status: 0 when every board written passed, else the
    // first failed board's.
    int Run();

signals:
    // An output or the record keeper has caught up (from any thread).
    void CaughtUp();

private:
    struct Tally {
        int passed = 0;
        int failed = 0;
    };

    void OnStarted(int slot, const SlotDevice &device);
    void OnEnded(int slot, const BoardOutcome &outcome, bool counted);
    void OnRefused(int slot, const SlotDevice &device, Refusal why, int otherSlot);
    // The slot as the lines name it, with the device it holds when the slot
    // is a pattern or a Com number.
    QString Label(int slot, const QString &device) const;
    void ShowSummary() const;
    Console::Stream Results() const;

    AutoWriteRunOptions options_;
    Console console_;
    AutoRun run_;
    std::unique_ptr<RecordKeeper> records_;
    std::vector<Tally> tallies_;
    int status_ = 0;   // the first failed board's
    int signals_ = 0;  // ending signals received
    int endedBy_ = 0;  // the signal that stopped the writes under way
    bool watchFailed_ = false;
};

}  // namespace qw735
