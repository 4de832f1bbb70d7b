// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "production/GangWrite.h"

#include <QObject>
#include <QStringList>

namespace qw735 {

class GangProgress;
class RecordFile;
class TraceOutput;
struct RecordedProgram;

// One line of qw735-write's output on stdout, flushed at once.
void PrintLine(const QString &text);

struct WriteRunOptions {
    QStringList ports;                          // one or more, in the order given
    bool quiet = false;                         // no progress on stderr
    RecordFile *records = nullptr;              // --report: one record per board
    const RecordedProgram *program = nullptr;   // what the records say was written
    TraceOutput *trace = nullptr;               // --trace
};

// One run of qw735-write: the same write through every port at once, shown
// on the terminal. One port looks exactly as a single write always has
// (progress on stderr, the message as the last line on stdout, once the
// port is closed); several ports get a line per board and a summary.
class WriteRun : public QObject {
    Q_OBJECT
public:
    WriteRun(WriteRunOptions options, BoardWrite write);

    // Writes every board and shows the results; returns the exit status.
    // While ports are held, a signal that ends a program ends every write
    // from its waits instead; each board closes its port, the results are
    // shown, and then the signal ends the process. What a write threw comes
    // out of here once every port is closed.
    int Run();

private:
    void OnBoardEnded(int board);
    // The board's result line: its message, or which signal ended it where.
    QString MessageOf(const BoardOutcome &outcome) const;
    int StatusOf(const BoardOutcome &outcome) const;
    int ShowSingle() const;
    int ShowGang() const;

    WriteRunOptions options_;
    GangWrite gang_;
    GangProgress *many_ = nullptr;  // the gang's progress lines, while they show
    int endedBy_ = 0;               // the signal that ended the writes
};

}  // namespace qw735
