// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "writer/OwnInput.h"
#include "writer/WriteInput.h"
#include "writer/WriteOptions.h"
#include "writer/WriteResult.h"
#include "writer/WriteTarget.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <atomic>
#include <cstdint>
#include <exception>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <variant>

namespace qw735 {

class ByteTransport;
struct HandshakeResult;
struct PortError;
class Link;
class MessageBox;
class ProgressDisplay;
class StepTracker;
class WireTrace;

// How one board's write went, for its result line and its record.
struct BoardOutcome {
    // How the port is named, as the caller knows it; a board run keeps what
    // it is given here.
    QString port;       // as the user wrote it
    QString described;  // as messages name it: "COM3 (/dev/ttyUSB0)"
    QString device;     // the device behind it
    bool remote = false;          // served by another machine (rfc2217:// or rfc2217+tls://)

    QByteArray serverSha256;      // over TLS: the server certificate's SHA-256, lower-case hex
    WriteResult result{WriteOutcome::Abandoned, {}};
    bool opened = false;  // the port was opened
    // For an interrupted write, where it stopped: "at block 17",
    // "while opening".
    QString stoppedAt;
    // The write threw (out of memory, say); the port was closed first.
    // The board ended all the same, alone or one of many.
    std::exception_ptr failure;
    QDateTime started;  // UTC
    double seconds = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesReceived = 0;
    // The round trip the handshake measured, in milliseconds; none when the
    // handshake did not complete.
    std::optional<double> roundTripMs;
    // Why replies may come late on this port, when the port knows and
    // could not help it (see ByteTransport::LatencyNote); empty otherwise.
    QString latencyNote;
    // The boot entry sequence run before each handshake, as the record
    // names it (its name, or its steps); empty without one.
    QString bootEntry;
    // Handshakes begun: 1 for a board that answered the first, 0 when the
    // write ended before any.
    int attempts = 0;
    // With WriteOptions::ownInput: what the board's own input was, once it
    // was made (its serial number taken).
    std::optional<OwnInputFacts> own;
};

// The files of a write that are read once its port is open, as the window
// reads its chosen file at every write: no other program holds the board
// while the files are read, and a file changed between writes is written as
// it is now. They are read without interruption (see InputReader), so a file
// that is not a regular file is refused before the port opens.
struct FilesToRead {
    PathName program;
    PathName loader;
};

// What the board is sent: an input read before the port opened (shared
// read-only with every other board of the run), or the files to read once
// it is open.
using BoardInput = std::variant<const WriteInput *, FilesToRead>;

// The one way a write is run on a board, by every front end: refuse if
// cancelled already, open the port, read the files if they are to be read
// now, run the conversation (WriteTarget), show the result when asked,
// close the port, and say how it went. Made and run on the thread the link
// belongs to; Cancel() may come from any thread.
class BoardRun {
public:
    // `line`: closed; the run opens it, and closes it before it returns.
    // `link`: over `line`, made on the thread that runs the write.
    BoardRun(ByteTransport &line, Link &link, BoardInput input, const WriteOptions &options);
    BoardRun(const BoardRun &) = delete;
    BoardRun &operator=(const BoardRun &) = delete;

    // Before Run(), each at most once; without them nothing is shown or
    // traced.
    void ShowProgress(ProgressDisplay &progress) { progress_ = &progress; }
    void Trace(WireTrace &trace) { trace_ = &trace; }
    // Shows the result, unless the write was abandoned, while the port is
    // still open: the window's box comes before the port is let go, as it
    // always did.
    void ShowResultIn(MessageBox &box) { resultBox_ = &box; }
    // Called once the port is open, before a byte goes: the window greys its
    // buttons then.
    void OnPortOpened(std::function<void()> opened) { portOpened_ = std::move(opened); }
    // What the caller knows of the board already: how its port is named.
    void Name(BoardOutcome named) { outcome_ = std::move(named); }

    // Runs the write here and now. What it throws leaves the port closed;
    // Outcome() then holds what was known by then.
    const BoardOutcome &Run();
    const BoardOutcome &Outcome() const { return outcome_; }

    // Ends the write at once: before it began, it does not begin; while the
    // port opens or the board is written, the wait under way ends, the port
    // closes and the write ends as abandoned. From any thread.
    void Cancel();

private:
    // Opens the port and runs the write on it.
    void OpenAndWrite(StepTracker &steps);
    WriteResult Converse(StepTracker &steps);
    // The handshake, tried again after the boot entry while no sync byte is
    // answered and retries are left; a result instead when the lines could
    // not be changed.
    std::expected<HandshakeResult, WriteResult> EnterBootMode(StepTracker &steps);
    // The release sequence after the write, if one is given and the port
    // can still take it.
    void Release(StepTracker &steps);
    // The write sequence with `run`, or with the board's own input made
    // from it when the options ask for one.
    WriteResult Write(const WriteInput &run, StepTracker &steps);
    // The boot entry, the handshake and the rest of the write: the loader
    // from `input`, the image from `input` or, when given, from `image`.
    WriteResult WriteFrom(const WriteInput &input, const LateImage &image, StepTracker &steps);
    void ShowResult() const;
    bool Cancelled();

    ByteTransport &line_;
    Link &link_;
    const BoardInput input_;
    const WriteOptions options_;
    ProgressDisplay *progress_ = nullptr;
    WireTrace *trace_ = nullptr;
    MessageBox *resultBox_ = nullptr;
    std::function<void()> portOpened_;
    BoardOutcome outcome_;

    std::mutex mutex_;
    bool cancelled_ = false;
    // Set with cancelled_, for a wait outside the link (another program
    // holding the source of a board's own input).
    std::atomic<bool> giveUp_{false};
    bool linkInUse_ = false;  // the link may be abandoned: it is this run's now
};

}  // namespace qw735
