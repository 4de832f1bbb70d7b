// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ByteTransport.h"
#include "link/EventPump.h"
#include "link/ReplyResult.h"
#include "link/WireObserver.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

namespace qw735 {

// The link went down: the line was lost or the write abandoned (Loss() and
// Abandoned() say which).
struct LinkDown {};

// The reply wait, the delay and the two one-shot timers behind them, over
// one line to a board. All waiting is cooperative on the calling thread: the
// waits pump events (see PumpUntil) and poll the line and a flag set by a
// timer. The conversations with the board reach the line only through this
// class.
class Link : public QObject {
    Q_OBJECT
public:
    // A reply wait gives up after this long, unless its caller says otherwise.
    static constexpr int ReplyLimitMs = 3000;

    Link(ByteTransport &line, EventPump &pump, QObject *parent = nullptr);

    // Writes the single byte `value` to the port.
    void SendByte(std::uint8_t value);
    // Writes `values` in one go, as fast as the line takes them: for the
    // image blocks, which go out without a pause between their bytes.
    void SendBytes(std::span<const std::uint8_t> values);
    // Drops every received byte that is waiting; returns how many it took
    // first (bytes that arrive while it drops them are dropped uncounted),
    // or LinkDown when the link is down once they are dropped.
    [[nodiscard]] std::expected<int, LinkDown> DiscardInput();
    // The bytes the last reply wait dropped from the read that took its
    // reply: what came in the same packet as the reply.
    const QByteArray &CameWithLastReply() const { return cameWithLastReply_; }
    // Number of received bytes waiting.
    int WaitingCount() const { return line_.WaitingCount(); }
    // Puts new line settings in force on the open line; every byte already
    // sent leaves at the old ones first. Fails when the link is down
    // afterwards: the change itself failed (which loses the line), the line
    // was lost before, or the write was abandoned.
    [[nodiscard]] std::expected<void, PortError> ChangeSettings(const PortSettings &settings);
    // Clears TimeoutFlag and starts Timer4 counting `limitMs` from now.
    void StartTimeout(int limitMs);
    // TimeoutFlag: the timeout started last has run out.
    bool TimedOut() const { return TimeoutFlag == 1; }
    // Pumps events until `count` received bytes are waiting, the timeout
    // started last has run out or the link is down, asking in `order`; takes
    // none of the bytes.
    WaitEnd PumpUntilWaiting(int count, WaitOrder order);
    // Waits up to `limitMs` for one byte and compares it with `expected`.
    // The countdown is started now, on Timer4, which is left running.
    // `passOver`: how many bytes other than `expected` may come first and be
    // taken as late answers to earlier requests rather than as the reply (a
    // slow line delivers them after the next request went out); 0 compares
    // the first byte that comes, as a plain reply wait does.
    ReplyResult WaitForByte(std::uint8_t expected, int limitMs = ReplyLimitMs, int passOver = 0);
    // Waits until `count` received bytes are waiting (Held), `limitMs` has
    // passed or the link is down, and takes none of them. For replies that
    // are awaited only to be dropped.
    WaitEnd WaitForCount(int count, int limitMs);
    // Returns `ms` milliseconds (or more) later, pumping events meanwhile
    // (Held); returns early only when the link goes down (Down).
    WaitEnd Delay(int ms);

    // Ends every wait at once from now on, the line's own included; for a
    // window closed mid-write or Ctrl-C.
    void Abandon();
    bool Abandoned() const { return abandoned_; }
    // How messages name the line, and why it was lost, if it was.
    QString Describe() const { return line_.Describe(); }
    const std::optional<PortError> &Loss() const { return line_.Loss(); }

    // Where wire events go; none by default. Off, tracing costs one pointer
    // test per operation and formats nothing.
    void SetObserver(WireObserver *observer) { observer_ = observer; }
    // Bytes written to the line, and bytes taken from it (read or dropped).
    std::uint64_t BytesSent() const { return bytesSent_; }
    std::uint64_t BytesReceived() const { return bytesReceived_; }

private:
    // Waits can no longer succeed: the line lost, or abandoned. Every wait
    // and the drop say so by what they return.
    bool IsDown() const { return abandoned_ || line_.Loss(); }

    // Timer4, the timeout timer: one-shot, armed by StartTimeout for each
    // wait that has a limit (10, 500 or 3000 ms); its event sets
    // TimeoutFlag. Precise: a coarse timer may fire up to 5% early.
    QTimer Timer4;
    // Timer5, the delay timer: one-shot, armed by Delay; its event sets
    // DelayFlag. Precise, as Timer4.
    QTimer Timer5;
    std::uint8_t TimeoutFlag = 0;
    std::int16_t DelayFlag = 0;
    // Timer4's event: the timeout has run out.
    void Timer4_Timer();
    // Timer5's event: the delay has run out.
    void Timer5_Timer();

    // Takes all waiting bytes and finds the reply among them: the first byte
    // not passed over (see WaitForByte), which ends the wait; it then drops
    // the rest, also those that came while reading. Nothing when every byte
    // was passed over. Call only after a non-zero waiting count.
    std::optional<ReplyResult> TakeReply(std::uint8_t expected, int &passOver);

    ByteTransport &line_;
    EventPump &pump_;
    bool abandoned_ = false;
    QByteArray cameWithLastReply_;
    WireObserver *observer_ = nullptr;
    std::uint64_t bytesSent_ = 0;
    std::uint64_t bytesReceived_ = 0;
};

}  // namespace qw735
