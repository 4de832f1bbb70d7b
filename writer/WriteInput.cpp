// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/WriteInput.h"

#include "writer/SendLoader.h"

#include <QCryptographicHash>
#include <utility>

#include <sys/stat.h>

namespace qw735 {

namespace {

InputKinds SRecordFileKinds(InputReader reader)
{
    return reader == InputReader::Interruptible ? InputKinds::FilesAndPipes : InputKinds::Files;
}

QString SRecordMessage(SRecordError error, const QByteArray &sFilePath)
{
    error.path = DisplayPath(sFilePath).toStdString();
    return QString::fromStdString(DescribeSRecordError(error));
}

WriteResult LoaderTooLargeResult(const QByteArray &loaderPath)
{
    // A regular file says how large it is; a pipe or a device was read only
    // as far as needed to know it is too large.
    struct stat status {};
    const bool sized = ::stat(loaderPath.constData(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > LoaderSizeLimit;
    const QString size = sized ? QString::number(status.st_size) : QStringLiteral("more than %1").arg(LoaderSizeLimit);
    return {WriteOutcome::LoaderTooLarge, QStringLiteral("TQW735.BIN is too large: %1 has %2 bytes, the boot mode takes at most %3")
                                              .arg(DisplayPath(loaderPath), size)
                                              .arg(LoaderSizeLimit)};
}

// Whether two paths name one file, whatever their names: another spelling,
// a link, a second hard link, or one pipe given twice (/dev/stdin).
bool SameFile(const QByteArray &one, const QByteArray &other)
{
    struct stat first {}, second {};
    return ::stat(one.constData(), &first) == 0 && ::stat(other.constData(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

}  // namespace

std::expected<WriteInput, WriteResult> ReadWriteInput(const QByteArray &sFilePath, const QByteArray &loaderPath,
                                                      InputReader reader, const ProgramOptions &options)
{
    // Judged before either is read: one pipe given twice is empty once read.
    const bool oneFile = SameFile(loaderPath, sFilePath);
    // The whole file is checked before the target hears a byte, so that a
    // bad file never leaves a half-written board. A loader given as the
    // program is no program, and is refused as such: the front end then
    // says it is the loader.
    WriteInput input;
    QCryptographicHash digest(QCryptographicHash::Sha256);
    const auto seen = [&](std::string_view bytes) { digest.addData(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size()))); };
    auto read = ReadProgramFile(sFilePath, input.image, reader, options, seen);
    if (!read)
        return std::unexpected(std::move(read.error()));
    input.summary = std::move(*read);
    input.sFileSha256 = digest.result().toHex();
    // A program given as the loader: its text would go to the boot mode.
    if (oneFile)
        return std::unexpected(WriteResult{WriteOutcome::LoaderIsProgram,
                                           QStringLiteral("TQW735.BIN is the program file itself: %1 and %2 are one file; give the loader "
                                                          "that came with the board")
                                               .arg(DisplayPath(loaderPath), DisplayPath(sFilePath))});

    // A loader too large for the size field is refused before anything is
    // sent; a missing one is reported after the handshake, as it always was.
    input.loader = ReadLoaderFile(loaderPath, reader == InputReader::Interruptible ? InputKinds::Anything : InputKinds::Files);
    if (!input.loader && input.loader.error() == TransferResult::LoaderTooLarge)
        return std::unexpected(LoaderTooLargeResult(loaderPath));
    return input;
}

std::expected<ProgramSummary, WriteResult> ReadProgramFile(const QByteArray &sFilePath, SRecordImage &image, InputReader reader,
                                                           const ProgramOptions &options,
                                                           const std::function<void(std::string_view)> &seen)
{
    auto loaded = LoadProgramFile(sFilePath.toStdString(), image, options, SRecordFileKinds(reader), seen);
    if (loaded)
        return std::move(*loaded);
    ProgramError error = std::move(loaded.error());
    error.path = DisplayPath(sFilePath).toStdString();
    const InputAdvice advice = error.kind == ProgramError::Kind::NotRecognized ? InputAdvice::GiveBinaryAddress
                               : error.kind == ProgramError::Kind::BadChecksum ? InputAdvice::IgnoreChecksums
                                                                               : InputAdvice::None;
    return std::unexpected(WriteResult{WriteOutcome::SRecordFailed, QString::fromStdString(DescribeProgramError(error)), advice});
}

std::expected<void, QString> CheckSRecordFileKind(const QByteArray &sFilePath, InputReader reader)
{
    if (const auto checked = CheckSRecordFileKind(sFilePath.toStdString(), SRecordFileKinds(reader)); !checked)
        return std::unexpected(SRecordMessage(checked.error(), sFilePath));
    return {};
}

QString DisplayPath(const QByteArray &path)
{
    QString shown;
    for (qsizetype at = 0; at < path.size();) {
        const auto lead = static_cast<unsigned char>(path[at]);
        const qsizetype length = lead < 0x80 ? 1 : (lead >> 5) == 0x06 ? 2 : (lead >> 4) == 0x0E ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        const QByteArray character = path.mid(at, length);
        if (length > 0 && character.size() == length && character.isValidUtf8()) {
            shown += QString::fromUtf8(character);
            at += length;
        } else {
            shown += QStringLiteral("\\x%1").arg(QString::number(lead, 16).toUpper().rightJustified(2, u'0'));
            ++at;
        }
    }
    return shown;
}

}  // namespace qw735
