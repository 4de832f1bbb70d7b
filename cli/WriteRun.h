// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/GangWrite.h"

#include <QObject>
#include <QStringList>

namespace qw735 {

class RecordFile;
class TraceOutput;
struct RecordedProgram;

struct WriteRunOptions {
    QStringList ports;                          // one or more, in the order given
    bool quiet = false;                         // no progress on stderr
    RecordFile *records = nullptr;              // --report: one record per board
    const RecordedProgram *program = nullptr;   // what the records say was written
    TraceOutput *trace = nullptr;               // --trace
};

// One run of qw735-write: the same write through every port at once, shown
// on the terminal. One port looks exactly as a single write always has
// (progress on stderr, the message as the last line on stdout); several
// ports get a line per board and a summary.
class WriteRun : public QObject {
    Q_OBJECT
public:
    WriteRun(WriteRunOptions options, BoardWrite write);

    // Writes every board and shows the results; returns the exit status.
    int Run();
    // Ctrl-C and the other ending signals: every board stops at once,
    // closes its port and reports where it stopped.
    void Interrupt();

private:
    void OnBoardEnded(int board);
    int ShowSingle() const;
    int ShowGang() const;

    WriteRunOptions options_;
    GangWrite gang_;
    bool interrupted_ = false;
};

}  // namespace qw735
