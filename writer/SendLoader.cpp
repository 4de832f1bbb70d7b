// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/SendLoader.h"

#include "link/Link.h"
#include "writer/StepTracker.h"

#include <utility>

namespace qw735 {

namespace {

constexpr std::uint8_t LoaderEndMark = 0xAA;  // target: loader received, now running it
constexpr int SizeFieldPauseMs = 10;          // after each of the two size bytes
constexpr int ProgressEveryLoaderBytes = 11;  // the bar moves after bytes 11, 22, 33, ...

void SendSize(Link &link, StepTracker &steps, qint64 length)
{
    steps.SetStep(WireStep::LoaderSize);
    link.SendByte(static_cast<std::uint8_t>((length >> 8) & 0xFF));
    link.Delay(SizeFieldPauseMs);
    link.SendByte(static_cast<std::uint8_t>(length & 0xFF));
    link.Delay(SizeFieldPauseMs);
    // Whatever the boot mode said to the size bytes is no echo.
    link.DiscardInput();
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

std::expected<QByteArray, TransferResult> ReadLoaderFile(const QByteArray &path, InputKinds kinds)
{
    if (path.isEmpty())
        return std::unexpected(TransferResult::LoaderMissing);
    auto file = InputFile::Open(path.toStdString(), kinds);
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

TransferResult SendLoader(Link &link, const QByteArray &loader, StepTracker &steps)
{
    if (loader.isEmpty())
        return TransferResult::LoaderMissing;
    if (loader.size() > LoaderSizeLimit)
        return TransferResult::LoaderTooLarge;

    SendSize(link, steps, loader.size());
    if (link.IsDown())
        return TransferResult::LinkDown;
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
