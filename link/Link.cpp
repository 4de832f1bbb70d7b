// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/Link.h"

namespace qw735 {

Link::Link(ByteTransport &line, EventPump &pump, QObject *parent) : QObject(parent), line_(line), pump_(pump)
{
    for (QTimer *timer : {&Timer4, &Timer5}) {
        timer->setTimerType(Qt::PreciseTimer);
        timer->setSingleShot(true);
    }
    Timer5.setInterval(0);
    connect(&Timer4, &QTimer::timeout, this, &Link::Timer4_Timer);
    connect(&Timer5, &QTimer::timeout, this, &Link::Timer5_Timer);
}

void Link::SendByte(std::uint8_t value)
{
    line_.WriteBytes(std::span(&value, 1));
}

void Link::SendBytes(std::span<const std::uint8_t> values)
{
    line_.WriteBytes(values);
}

std::expected<void, QString> Link::ChangeSettings(const QString &text)
{
    return line_.ChangeSettings(text);
}

void Link::DiscardInput()
{
    line_.Discard();
}

std::uint8_t Link::ReadFirstByte()
{
    const QByteArray waiting = line_.ReadAllWaiting();
    line_.DropWaiting();
    cameWithLastReply_ = waiting.mid(1);
    return waiting.isEmpty() ? 0 : static_cast<std::uint8_t>(waiting[0]);
}

void Link::StartTimeout()
{
    if (!Timer4.isActive())
        Timer4.start();
}

ReplyResult Link::WaitForByte(std::uint8_t expected)
{
    TimeoutFlag = 0;
    Timer4.stop();
    Timer4.setInterval(ReplyLimitMs);
    StartTimeout();
    // Events first, then the waiting count, then the flag: a byte that is
    // waiting when the timer has already fired still counts as the reply.
    for (;;) {
        pump_.Pump();
        if (IsDown())
            return ReplyResult::LinkDown;
        if (WaitingCount() != 0)
            return ReadFirstByte() == expected ? ReplyResult::Expected : ReplyResult::OtherByte;
        if (TimeoutFlag == 1)
            return ReplyResult::NoReply;
    }
    // The timer keeps running after a return; the next wait clears the flag
    // and re-arms it before polling, so a late firing changes nothing.
}

void Link::Delay(int ms)
{
    DelayFlag = 0;
    Timer5.stop();
    Timer5.setInterval(ms);
    Timer5.start();
    while (DelayFlag != 1 && !IsDown())
        pump_.Pump();
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
