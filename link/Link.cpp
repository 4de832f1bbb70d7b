// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/Link.h"

namespace qw735 {

Link::Link(ByteTransport &line, EventPump &pump, QObject *parent) : QObject(parent), line_(line), pump_(pump)
{
    for (QTimer *timer : {&Timer4, &Timer5}) {
        timer->setTimerType(Qt::PreciseTimer);
        timer->setSingleShot(true);
    }
    Timer4.setObjectName(QStringLiteral("Timer4"));
    Timer5.setObjectName(QStringLiteral("Timer5"));
    Timer5.setInterval(0);
    connect(&Timer4, &QTimer::timeout, this, &Link::Timer4_Timer);
    connect(&Timer5, &QTimer::timeout, this, &Link::Timer5_Timer);
}

namespace {

std::span<const std::uint8_t> BytesOf(const QByteArray &data)
{
    return {reinterpret_cast<const std::uint8_t *>(data.constData()), static_cast<std::size_t>(data.size())};
}

}  // namespace

void Link::SendByte(std::uint8_t value)
{
    SendBytes(std::span(&value, 1));
}

void Link::SendBytes(std::span<const std::uint8_t> values)
{
    // Bytes that did not go out are neither counted nor traced; the line is
    // closed or lost, and the next wait ends on that.
    if (!line_.WriteBytes(values))
        return;
    bytesSent_ += values.size();
    if (observer_)
        observer_->OnSent(values);
}

std::expected<void, PortError> Link::ChangeSettings(const PortSettings &settings)
{
    if (observer_)
        observer_->OnLineSettings(settings.text);
    if (auto changed = line_.ChangeSettings(settings); !changed)
        return changed;
    // A line that is no longer open only keeps the settings for its next
    // open; an abandoned write goes no further at any speed.
    if (const auto &loss = line_.Loss())
        return std::unexpected(*loss);
    if (abandoned_)
        return std::unexpected(PortError{PortError::Kind::Interrupted, QStringLiteral("interrupted")});
    return {};
}

std::expected<int, LinkDown> Link::DiscardInput()
{
    // Taking the waiting bytes before dropping them changes nothing on the
    // line, and lets the count and the trace say what was dropped.
    const QByteArray waiting = line_.ReadAllWaiting();
    line_.Discard();
    bytesReceived_ += static_cast<std::uint64_t>(waiting.size());
    if (observer_)
        observer_->OnDropped(BytesOf(waiting));
    // Dropping may find the line gone.
    if (IsDown())
        return std::unexpected(LinkDown{});
    return static_cast<int>(waiting.size());
}

std::optional<ReplyResult> Link::TakeReply(std::uint8_t expected, int &passOver)
{
    const QByteArray waiting = line_.ReadAllWaiting();
    bytesReceived_ += static_cast<std::uint64_t>(waiting.size());
    // One read, one event: the reply first, then whatever came with it.
    if (observer_ && !waiting.isEmpty())
        observer_->OnReceived(BytesOf(waiting));
    // A count without bytes behind it (the read found none) reads as one
    // 0x00: a wait that ended on a count judges exactly one byte.
    const QByteArray taken = waiting.isEmpty() ? QByteArray(1, '\0') : waiting;
    for (qsizetype at = 0; at < taken.size(); ++at) {
        const auto value = static_cast<std::uint8_t>(taken[at]);
        if (value != expected && passOver > 0) {
            --passOver;
            continue;
        }
        line_.DropWaiting();
        cameWithLastReply_ = taken.mid(at + 1);
        return value == expected ? ReplyResult::Expected : ReplyResult::OtherByte;
    }
    // Late answers only; the reply may still come, and nothing is dropped
    // that could be it.
    return std::nullopt;
}

void Link::StartTimeout(int limitMs)
{
    TimeoutFlag = 0;
    Timer4.stop();
    Timer4.setInterval(limitMs);
    Timer4.start();
}

WaitEnd Link::PumpUntilWaiting(int count, WaitOrder order)
{
    return PumpUntil(pump_, order,
                     {[this, count] { return WaitingCount() >= count; }, [this] { return TimedOut(); }, [this] { return IsDown(); }});
}

ReplyResult Link::WaitForByte(std::uint8_t expected, int limitMs, int passOver)
{
    StartTimeout(limitMs);
    // Events first, then the waiting count, then the flag: a byte that is
    // waiting when the timer has already fired still counts as the reply.
    for (;;) {
        switch (PumpUntilWaiting(1, WaitOrder::EventsFirst)) {
        case WaitEnd::Down: return ReplyResult::LinkDown;
        case WaitEnd::TimedOut: return ReplyResult::NoReply;
        case WaitEnd::Held:
            if (const auto reply = TakeReply(expected, passOver))
                return *reply;
            break;
        }
    }
    // The timer keeps running after a return; the next wait clears the flag
    // and re-arms it before polling, so a late firing changes nothing.
}

WaitEnd Link::WaitForCount(int count, int limitMs)
{
    StartTimeout(limitMs);
    return PumpUntilWaiting(count, WaitOrder::EventsFirst);
}

WaitEnd Link::Delay(int ms)
{
    DelayFlag = 0;
    Timer5.stop();
    Timer5.setInterval(ms);
    Timer5.start();
    // The delay has no limit of its own: its timer is what it waits for.
    return PumpUntil(pump_, WaitOrder::HeldFirst, {[this] { return DelayFlag == 1; }, [] { return false; }, [this] { return IsDown(); }});
}

void Link::Timer4_Timer()
{
    TimeoutFlag = 1;
    Timer4.stop();
}

void Link::Timer5_Timer()
{
    DelayFlag = 1;
    Timer5.stop();
}

void Link::Abandon()
{
    abandoned_ = true;
    line_.Interrupt();
}

}  // namespace qw735
