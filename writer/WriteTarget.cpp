// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/WriteTarget.h"

#include "image/SRecordImage.h"
#include "link/Link.h"
#include "writer/BootHandshake.h"
#include "writer/Feedback.h"
#include "writer/FileSystem.h"
#include "writer/Messages.h"
#include "writer/SendImage.h"
#include "writer/SendLoader.h"

#include <QFile>
#include <QFileInfo>

namespace qw735 {

namespace {

WriteResult Fixed(WriteOutcome outcome, const char *message)
{
    return {outcome, QString::fromLatin1(message)};
}

// A link that went down is the port's fault or the user's doing; either
// way it outranks whatever the interrupted step would have reported.
WriteResult LinkDownResult(Link &link)
{
    if (link.Abandoned())
        return {WriteOutcome::Abandoned, QString()};
    return {WriteOutcome::PortLost,
            QStringLiteral("Lost %1 during the write: %2").arg(link.Describe(), link.LostReason())};
}

WriteResult LoaderTooLargeResult(const QString &loaderPath)
{
    return {WriteOutcome::LoaderTooLarge, QStringLiteral("TQW735.BIN is too large: %1 has %2 bytes, the boot mode takes at most %3")
                                              .arg(loaderPath)
                                              .arg(QFileInfo(loaderPath).size())
                                              .arg(LoaderSizeLimit)};
}

// How a failed loader transfer ends the write (never called with Done or
// LinkDown, which the caller handles). Tested in this order: silence, a
// wrong byte, no loader.
WriteResult LoaderFailure(TransferResult result, const QString &loaderPath)
{
    switch (result) {
    case TransferResult::NoReply: return Fixed(WriteOutcome::LoaderNoReply, MessageLoaderNoReply);
    case TransferResult::WrongReply: return Fixed(WriteOutcome::LoaderWrongReply, MessageLoaderWrongReply);
    case TransferResult::LoaderTooLarge: return LoaderTooLargeResult(loaderPath);
    default: return Fixed(WriteOutcome::LoaderMissing, MessageLoaderMissing);
    }
}

WriteResult ImageResult(TransferResult result)
{
    switch (result) {
    case TransferResult::NoReply: return Fixed(WriteOutcome::ImageNoReply, MessageImageNoReply);
    case TransferResult::WrongReply: return Fixed(WriteOutcome::ImageWrongReply, MessageImageWrongReply);
    default: return Fixed(WriteOutcome::Ok, MessageOk);
    }
}

WriteResult Converse(const WriteRequest &request)
{
    Link &link = request.link;

    // The whole file is checked before the target hears a byte, so that a
    // bad file never leaves a half-written board.
    SRecordImage image;
    if (const auto error = LoadSRecordFile(QFile::encodeName(request.sFilePath).toStdString(), image))
        return {WriteOutcome::SRecordFailed, QString::fromStdString(DescribeSRecordError(*error))};

    // A loader too large for the size field is refused before anything is
    // sent; a missing one is reported after the handshake, as it always was.
    const QString loaderPath = request.fileSystem.LoaderPath();
    const auto loader = ReadLoaderFile(loaderPath);
    if (!loader && loader.error() == TransferResult::LoaderTooLarge)
        return LoaderTooLargeResult(loaderPath);

    if (!BootHandshake(link))
        return link.IsDown() ? LinkDownResult(link) : Fixed(WriteOutcome::HandshakeFailed, MessageHandshakeFailed);

    const TransferResult loaderSent = loader ? SendLoader(link, *loader, request.progress) : loader.error();
    if (loaderSent == TransferResult::LinkDown)
        return LinkDownResult(link);
    if (loaderSent != TransferResult::Done)
        return LoaderFailure(loaderSent, loaderPath);

    const TransferResult imageSent = SendImage(link, image, request.progress);
    if (imageSent == TransferResult::LinkDown)
        return LinkDownResult(link);
    return ImageResult(imageSent);
}

}  // namespace

WriteResult WriteTarget(const WriteRequest &request)
{
    const WriteResult result = Converse(request);
    if (result.outcome != WriteOutcome::Abandoned)
        request.messageBox.Show(result.message);
    return result;
}

}  // namespace qw735
