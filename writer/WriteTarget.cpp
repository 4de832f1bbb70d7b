// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/WriteTarget.h"

#include "image/ProgramImage.h"
#include "link/Link.h"
#include "writer/BootHandshake.h"
#include "writer/Messages.h"
#include "writer/SendImage.h"
#include "writer/SendLoader.h"
#include "writer/StepTracker.h"

namespace qw735 {

namespace {

WriteResult DesignedResult(WriteOutcome outcome, const char *message)
{
    return {outcome, QString::fromLatin1(message)};
}

// A link that went down is the port's fault or the user's doing; either
// way it outranks whatever the interrupted step would have reported.
WriteResult LinkDownResult(Link &link)
{
    if (link.Abandoned())
        return {WriteOutcome::Abandoned, QString()};
    const PortError loss = link.Loss().value_or(PortError{PortError::Kind::Lost, QString()});
    return {WriteOutcome::PortLost, QStringLiteral("Lost %1 during the write: %2").arg(link.Describe(), loss.text), std::nullopt,
            loss.kind};
}

// Whether the write goes on to the image after the loader transfer, or how
// it ends there.
std::expected<void, WriteResult> AfterLoader(Link &link, TransferResult result, const WriteInput &input)
{
    switch (result) {
    case TransferResult::Done: return {};
    case TransferResult::NoReply: return std::unexpected(DesignedResult(WriteOutcome::LoaderNoReply, MessageLoaderNoReply));
    case TransferResult::WrongReply: return std::unexpected(DesignedResult(WriteOutcome::LoaderWrongReply, MessageLoaderWrongReply));
    case TransferResult::LoaderMissing: return std::unexpected(DesignedResult(WriteOutcome::LoaderMissing, MessageLoaderMissing));
    case TransferResult::LoaderTooLarge: {
        // Only for input not made by ReadWriteInput, which refuses such a
        // loader; that input may hold the loader's bytes or only this result.
        const QString size = input.loader ? QString::number(input.loader->size()) : QStringLiteral("more than %1").arg(LoaderSizeLimit);
        return std::unexpected(WriteResult{
            WriteOutcome::LoaderTooLarge,
            QStringLiteral("TQW735.BIN is too large: it has %1 bytes, the boot mode takes at most %2").arg(size).arg(LoaderSizeLimit)});
    }
    case TransferResult::LinkDown: return std::unexpected(LinkDownResult(link));
    }
    std::unreachable();
}

// How the write ends after the image transfer. Only Done is "O.K.".
WriteResult ImageResult(Link &link, TransferResult result)
{
    switch (result) {
    case TransferResult::Done: return DesignedResult(WriteOutcome::Ok, MessageOk);
    case TransferResult::NoReply: return DesignedResult(WriteOutcome::ImageNoReply, MessageImageNoReply);
    case TransferResult::WrongReply: return DesignedResult(WriteOutcome::ImageWrongReply, MessageImageWrongReply);
    case TransferResult::LinkDown: return LinkDownResult(link);
    case TransferResult::LoaderMissing:
    case TransferResult::LoaderTooLarge:
        // The loader transfer's own, never the image transfer's: should one
        // come, the image did not go as it should.
        return DesignedResult(WriteOutcome::ImageWrongReply, MessageImageWrongReply);
    }
    std::unreachable();
}

}  // namespace

WriteResult WriteTarget(Link &link, const WriteInput &input, StepTracker &steps, const WriteOptions &options)
{
    return WriteAfterHandshake(link, input, steps, options, BootHandshake(link, steps, options));
}

WriteResult WriteAfterHandshake(Link &link, const WriteInput &input, StepTracker &steps, const WriteOptions &options,
                                const HandshakeResult &handshake, const LateImage &lateImage)
{
    if (handshake.outcome == HandshakeOutcome::LinkDown)
        return LinkDownResult(link);
    if (handshake.outcome != HandshakeOutcome::Accepted)
        return DesignedResult(WriteOutcome::HandshakeFailed, MessageHandshakeFailed);

    const TransferResult loaderSent = input.loader ? SendLoader(link, *input.loader, steps, handshake.roundTrip) : input.loader.error();
    if (const auto goOn = AfterLoader(link, loaderSent, input); !goOn)
        return goOn.error();

    const WriteInput *imageFrom = &input;
    if (lateImage) {
        const auto late = lateImage();
        if (!late)
            return late.error();
        imageFrom = *late;
    }
    return ImageResult(link, SendImage(link, imageFrom->image, steps, options));
}

}  // namespace qw735
