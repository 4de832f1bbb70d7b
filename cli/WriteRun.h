// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "cli/Console.h"
#include "production/GangWrite.h"

#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>

namespace qw735 {

class EndingSignals;
class GangProgress;
class RecordKeeper;
struct RunOutputs;
struct RecordedProgram;

// How a board a signal stopped says so in its line: "ended by SIGINT".
QString EndedBy(int signal);

// What every board of a run of qw735-write shares, whether its ports are
// given or its boards are written as they are plugged in.
struct BoardsOfRun {
    std::optional<TlsIdentity> tls;             // the files given for rfc2217+tls:// ports
    bool quiet = false;                         // no progress on stderr
    RunOutputs *outputs = nullptr;              // stdout, stderr, --report, --trace
    const RecordedProgram *program = nullptr;   // what the records say was written
    const WriteInput *input = nullptr;          // what every board is sent
    WriteOptions write;                         // how every board is written
};

struct WriteRunOptions {
    std::vector<PortName> ports;  // one or more, in the order given
    BoardsOfRun boards;
};

// One run of qw735-write: the same write through every port at once, shown
// on the terminal. One port shows progress on stderr and the message as the
// last line on stdout, once the port is closed, for scripts that read that
// line; several ports get a line per board and a summary.
//
// Nothing shown or recorded holds a board back: progress, trace, results
// and records go out through threads of their own, and the main thread only
// ever waits in its event loop, where a signal that ends the program is seen
// at once.
class WriteRun : public QObject {
    Q_OBJECT
public:
    explicit WriteRun(WriteRunOptions options);
    ~WriteRun() override;

    // Writes every board and shows the results; returns the exit status.
    // While ports are held, a signal that ends a program ends every write
    // from its waits instead; each board closes its port, the results are
    // shown, and then the signal ends the process. What a write threw comes
    // out of here once every port is closed.
    int Run();

signals:
    // An output or the record keeper has caught up (from any thread).
    void CaughtUp();

private:
    void OnBoardEnded(int board);
    // The board's result line: its message, or which signal ended it where.
    QString MessageOf(const BoardOutcome &outcome) const;
    int StatusOf(const BoardOutcome &outcome) const;
    // Each puts the results on stdout and adds to `hints` the lines that
    // say what to check, for stderr once the results are out.
    int ShowSingle(std::exception_ptr &failure, QStringList &hints) const;
    int ShowGang(std::exception_ptr &failure, QStringList &hints) const;
    // Says which ports hold every reply back (an adapter's latency timer
    // that could not be lowered), after the progress and before the results.
    void ShowLatencyNotes() const;
    // Says what of the record and the trace was lost; true when anything was.
    bool ShowLosses() const;
    // Runs the event loop until `done` holds, or a signal ends the run (then
    // false), or `limitMs` passes when it is not negative (then false).
    bool WaitFor(EndingSignals &ending, const std::function<bool()> &done, int limitMs = -1);
    // Where the results go: stdout, or stderr when stdout holds the records.
    Console::Stream Results() const;

    WriteRunOptions options_;
    Console console_;  // through the run's outputs
    GangWrite gang_;
    std::unique_ptr<RecordKeeper> records_;
    GangProgress *many_ = nullptr;  // the gang's progress lines, while they show
    int endedBy_ = 0;               // the signal that ended the writes
};

}  // namespace qw735
