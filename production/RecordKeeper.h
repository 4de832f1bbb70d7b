// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "production/RecordDestination.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

namespace qw735 {

class OutputSink;

// Keeps the production records on a thread of its own (an output sink
// whose lines are records): a destination may make it wait (a file's lock
// held by another run, a slow server) for as long as it likes, and neither
// the boards nor the signals that end the run may wait for it. A record
// that cannot be kept is told, in the words of its error, and counted.
// Every front end keeps its records through one.
class RecordKeeper {
public:
    // What the destination said of a record, and whether the record was
    // kept (a record spooled for later was; one lost was not).
    using Tell = std::function<void(const QString &said, bool kept)>;
    // `tell` is called on the keeper's thread.
    RecordKeeper(std::unique_ptr<RecordDestination> destination, Tell tell);
    // Gives up what still waits.
    ~RecordKeeper();
    RecordKeeper(const RecordKeeper &) = delete;
    RecordKeeper &operator=(const RecordKeeper &) = delete;

    void Put(const QByteArray &record);
    // Stops waiting for the destination; the records not yet kept are
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
