// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/SendLoader.h"

#include "link/Link.h"
#include "writer/StepTracker.h"

#include <algorithm>
#include <utility>

namespace qw735 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t LoaderEndMark = 0xAA;  // target: loader received, now running it
constexpr int SizeFieldPauseMs = 10;          // after each of the two size bytes
constexpr int SizeAnswers = 2;                // at most one per size byte
constexpr int SizeAnswerRoundTrips = 4;       // how late they may come, in round trips of the line
constexpr int ProgressEveryLoaderBytes = 11;  // the bar moves after bytes 11, 22, 33, ...

// Whatever the boot mode says to the size bytes is no echo, and is dropped
// before the first loader byte goes. Whether a boot ROM says nothing to them
// or echoes each is not known for every board, so either is taken. On a
// direct line the answers are in before the pause after the second byte has
// run out; on a slow one (a USB adapter's latency timer, a network) they
// come later, and one taken for the first loader byte's echo would end the
// write in "Farm Err". So they are awaited, up to a limit that follows the
// line's own round trip; a board that says nothing costs that limit once
// per write.
//
// Both size bytes go even when the link went down after the first: the
// pauses end early then, and the drop tells the transfer to stop.
TransferResult SendSize(Link &link, StepTracker &steps, qint64 length, std::chrono::microseconds roundTrip)
{
    steps.SetStep(WireStep::LoaderSize);
    link.SendByte(static_cast<std::uint8_t>((length >> 8) & 0xFF));
    static_cast<void>(link.Delay(SizeFieldPauseMs));
    link.SendByte(static_cast<std::uint8_t>(length & 0xFF));
    const auto lowSent = Clock::now();
    const WaitEnd paused = link.Delay(SizeFieldPauseMs);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lowSent).count();
    if (const int rest = SizeAnswerLimitMs(roundTrip) - static_cast<int>(waited); rest > 0 && paused != WaitEnd::Down)
        static_cast<void>(link.WaitForCount(SizeAnswers, rest));  // what came is dropped either way
    return link.DiscardInput() ? TransferResult::Done : TransferResult::LinkDown;
}

TransferResult SendBody(Link &link, const QByteArray &loader, StepTracker &steps)
{
    steps.SetMaximum(static_cast<float>(loader.size()));
    int step = 0;
    for (qsizetype i = 0; i < loader.size(); ++i) {
        const auto value = static_cast<std::uint8_t>(loader[i]);
        steps.SetStep(WireStep::Loader, static_cast<int>(i + 1));
        link.SendByte(value);
        // One byte in flight: the next goes only after this one's echo.
        if (const auto result = TransferResultOf(link.WaitForByte(value)); result != TransferResult::Done)
            return result;
        if (++step >= ProgressEveryLoaderBytes) {
            step = 0;
            steps.SetValue(static_cast<float>(i + 1));
        }
    }
    steps.SetValue(static_cast<float>(loader.size()));
    return TransferResult::Done;
}

}  // namespace

int SizeAnswerLimitMs(std::chrono::microseconds roundTrip)
{
    const auto roundTrips = std::chrono::ceil<std::chrono::milliseconds>(SizeAnswerRoundTrips * roundTrip).count();
    return static_cast<int>(std::min<std::int64_t>(SizeFieldPauseMs + roundTrips, Link::ReplyLimitMs));
}

std::expected<QByteArray, TransferResult> ReadLoaderFile(const PathName &path, InputKinds kinds)
{
    if (path.IsEmpty())
        return std::unexpected(TransferResult::LoaderMissing);
    auto file = InputFile::Open(path.Bytes().toStdString(), kinds);
    if (!file)
        return std::unexpected(TransferResult::LoaderMissing);
    // The size a file claims is no bound: a pipe or a device has none and
    // may never end.
    QByteArray loader(LoaderSizeLimit + 1, Qt::Uninitialized);
    qsizetype length = 0;
    while (length < loader.size()) {
        const auto got = file->Read(loader.data() + length, static_cast<std::size_t>(loader.size() - length));
        if (!got)
            return std::unexpected(TransferResult::LoaderMissing);
        if (*got == 0)
            break;
        length += static_cast<qsizetype>(*got);
    }
    if (length > LoaderSizeLimit)
        return std::unexpected(TransferResult::LoaderTooLarge);
    if (length == 0)
        return std::unexpected(TransferResult::LoaderMissing);
    loader.truncate(length);
    return loader;
}

TransferResult SendLoader(Link &link, const QByteArray &loader, StepTracker &steps, std::chrono::microseconds roundTrip)
{
    if (loader.isEmpty())
        return TransferResult::LoaderMissing;
    if (loader.size() > LoaderSizeLimit)
        return TransferResult::LoaderTooLarge;

    if (const auto result = SendSize(link, steps, loader.size(), roundTrip); result != TransferResult::Done)
        return result;
    if (const auto result = SendBody(link, loader, steps); result != TransferResult::Done)
        return result;

    steps.SetStep(WireStep::EndMark);
    // A USB adapter passes bytes on in packets, and the end mark often comes
    // in the same one as the last echo. Taken from there, it saves the whole
    // reply wait; any other byte that came with the echo is dropped as
    // before, and the end mark is then waited for as usual.
    if (link.CameWithLastReply().startsWith(static_cast<char>(LoaderEndMark)))
        return TransferResult::Done;
    switch (link.WaitForByte(LoaderEndMark)) {
    case ReplyResult::Expected:
    case ReplyResult::NoReply: return TransferResult::Done;  // the image transfer tells whether the loader runs
    case ReplyResult::OtherByte: return TransferResult::WrongReply;
    case ReplyResult::LinkDown: return TransferResult::LinkDown;
    }
    std::unreachable();
}

}  // namespace qw735
