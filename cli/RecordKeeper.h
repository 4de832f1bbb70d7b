// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "cli/Console.h"
#include "production/ProductionRecord.h"

#include <QByteArray>
#include <functional>
#include <memory>
#include <vector>

namespace qw735 {

class OutputSink;

// Appends the production records on a thread of its own (an output sink
// whose lines are records): the file's lock may be held by another run for
// as long as it likes, and neither the boards nor the signals that end the
// run may wait for it. A record that cannot be written is said on the
// console and counted.
class RecordKeeper {
public:
    RecordKeeper(RecordFile file, Console console);
    // Gives up what still waits.
    ~RecordKeeper();
    RecordKeeper(const RecordKeeper &) = delete;
    RecordKeeper &operator=(const RecordKeeper &) = delete;

    void Put(const QByteArray &record);
    // Stops waiting for the file's lock; the records not yet written are
    // lost, and said so.
    void GiveUp();
    // True when every record put has been written or lost.
    bool Done() const;
    // Called on the keeper's thread when Done() becomes true.
    void OnDone(std::function<void()> callback);
    int Lost() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::unique_ptr<OutputSink> records_;
};

// Calls `caughtUp` whenever one of `sinks` (null ones left out) has drained
// or `records` has caught up, for as long as it lives: a run waits on it for
// its last lines and records before it ends.
class CaughtUpWatch {
public:
    CaughtUpWatch(std::vector<OutputSink *> sinks, RecordKeeper *records, const std::function<void()> &caughtUp);
    ~CaughtUpWatch();
    CaughtUpWatch(const CaughtUpWatch &) = delete;
    CaughtUpWatch &operator=(const CaughtUpWatch &) = delete;

private:
    std::vector<OutputSink *> sinks_;
    RecordKeeper *records_;
};

}  // namespace qw735
