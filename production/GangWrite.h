// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "ports/PortName.h"
#include "remote/TlsIdentity.h"
#include "writer/BoardRun.h"
#include "writer/Feedback.h"
#include "writer/WriteInput.h"
#include "writer/WriteOptions.h"

#include <QObject>
#include <memory>
#include <optional>
#include <vector>

namespace qw735 {

class TraceOutput;

// Writes one program into several boards at once. Each board has a thread
// of its own with its own event loop, port, link and timers, and runs its
// write as a board run (BoardRun), exactly as a single write runs; nothing
// of one board's conversation waits on another's. The boards share only
// the input and the options, read-only. A board's result is not shown: the
// front end shows every board's once the ports are closed, in the order the
// ports were given, since printing may block or fail (a stalled or closed
// pipe) and no port may wait for that. A lone board runs on the calling
// thread, inside Start(), as a single write always ran. Progress and each
// board's end come back as signals on the thread that owns this object.
class GangWrite : public QObject {
    Q_OBJECT
public:
    // `tls`: the client identity given for the boards reached over TLS.
    // `input` must outlive this object.
    GangWrite(std::vector<PortName> ports, std::optional<TlsIdentity> tls, const WriteInput &input, WriteOptions options,
              QObject *parent = nullptr);
    // Cancels whatever still runs and waits for every board's thread.
    ~GangWrite() override;

    // Where a lone board runs: inside Start(), as a single write always
    // ran, or on a thread of its own like one of many (the automatic mode
    // starts a gang of one per board plugged, beside the others).
    enum class LoneBoard : std::uint8_t { HereAndNow, OnItsThread };

    // A wire trace for every board into `output`, which must outlive this
    // object; the lines name the port when the boards run on threads of
    // their own, since others may write beside them.
    void SetTrace(TraceOutput *output) { trace_ = output; }
    // Starts every board. A board whose thread cannot be made ends at once,
    // failed as out of memory. A lone board's write runs inside this call.
    // What a write throws ends its board as failed (the port closed first),
    // and the board's end is delivered like any other.
    void Start(LoneBoard lone = LoneBoard::HereAndNow);
    // Ends every write at once: each board stops in its current wait,
    // closes its port and ends as abandoned. Boards already done keep their
    // results.
    void Cancel();

    int BoardCount() const { return static_cast<int>(boards_.size()); }

    // The descriptors a run of `boards` may hold at once, the process's own
    // (standard descriptors, event loop, signal pipe, outputs) included.
    static int DescriptorsNeeded(int boards);
    bool Running() const { return running_ > 0; }
    // Its port, as given and as messages name it, from the start; the rest
    // is complete once BoardEnded(board) has been delivered.
    const BoardOutcome &Outcome(int board) const;

signals:
    // The board's progress display: maximum = bytes to send in the stage it
    // begins (loader, then image), value = bytes sent.
    void MaximumSet(int board, ProgressStage stage, float maximum);
    void ValueSet(int board, float value);
    // The round trip the board's handshake measured, in milliseconds.
    void RoundTripMeasured(int board, double ms);
    void AttemptStarted(int board, int attempt, int tries);
    void BoardEnded(int board);
    void AllEnded();

private:
    class Board;
    void OnBoardEnded(int board);

    std::vector<std::unique_ptr<Board>> boards_;
    const std::optional<TlsIdentity> tls_;
    const WriteInput &input_;
    const WriteOptions options_;
    TraceOutput *trace_ = nullptr;
    bool threaded_ = false;  // the boards run on threads of their own
    int running_ = 0;
};

}  // namespace qw735
