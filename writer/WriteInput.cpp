// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/WriteInput.h"

#include "writer/SendLoader.h"

#include <QCryptographicHash>
#include <utility>

#include <sys/stat.h>

namespace qw735 {

namespace {

InputKinds ProgramFileKinds(InputReader reader)
{
    return reader == InputReader::Interruptible ? InputKinds::FilesAndPipes : InputKinds::Files;
}

QString ProgramMessage(const ProgramError &error, const PathName &programFile)
{
    return QString::fromStdString(DescribeProgramError(error, programFile.Display().toStdString()));
}

WriteResult LoaderTooLargeResult(const PathName &loader)
{
    // A regular file says how large it is; a pipe or a device was read only
    // as far as needed to know it is too large.
    struct stat status {};
    const bool sized = ::stat(loader.Bytes().constData(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > LoaderSizeLimit;
    const QString size = sized ? QString::number(status.st_size) : QStringLiteral("more than %1").arg(LoaderSizeLimit);
    return {WriteOutcome::LoaderTooLarge, QStringLiteral("TQW735.BIN is too large: %1 has %2 bytes, the boot mode takes at most %3")
                                              .arg(loader.Display(), size)
                                              .arg(LoaderSizeLimit)};
}

// Whether two paths name one file, whatever their names: another spelling,
// a link, a second hard link, or one pipe given twice (/dev/stdin).
bool SameFile(const PathName &one, const PathName &other)
{
    struct stat first {}, second {};
    return ::stat(one.Bytes().constData(), &first) == 0 && ::stat(other.Bytes().constData(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

}  // namespace

std::expected<WriteInput, WriteResult> ReadWriteInput(const PathName &programFile, const PathName &loader, InputReader reader,
                                                      const ProgramOptions &options)
{
    // Judged before either is read: one pipe given twice is empty once read.
    const bool oneFile = SameFile(loader, programFile);
    // The whole file is checked before the target hears a byte, so that a
    // bad file never leaves a half-written board. A loader given as the
    // program is no program, and is refused as such: the front end then
    // says it is the loader.
    WriteInput input;
    QCryptographicHash digest(QCryptographicHash::Sha256);
    const auto seen = [&](std::string_view bytes) { digest.addData(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size()))); };
    auto read = ReadProgramFile(programFile, input.image, reader, options, seen);
    if (!read)
        return std::unexpected(std::move(read.error()));
    input.summary = std::move(*read);
    input.programFileSha256 = digest.result().toHex();
    // A program given as the loader: its text would go to the boot mode.
    if (oneFile)
        return std::unexpected(WriteResult{WriteOutcome::LoaderIsProgram,
                                           QStringLiteral("TQW735.BIN is the program file itself: %1 and %2 are one file; give the loader "
                                                          "that came with the board")
                                               .arg(loader.Display(), programFile.Display())});

    // A loader too large for the size field is refused before anything is
    // sent; a missing one is reported after the handshake, where the boot
    // mode's conversation finds it.
    input.loader = ReadLoaderFile(loader, reader == InputReader::Interruptible ? InputKinds::Anything : InputKinds::Files);
    if (!input.loader && input.loader.error() == TransferResult::LoaderTooLarge)
        return std::unexpected(LoaderTooLargeResult(loader));
    return input;
}

std::expected<ProgramSummary, WriteResult> ReadProgramFile(const PathName &programFile, ProgramImage &image, InputReader reader,
                                                           const ProgramOptions &options,
                                                           const std::function<void(std::string_view)> &seen)
{
    auto loaded = LoadProgramFile(programFile.Bytes().toStdString(), image, options, ProgramFileKinds(reader), seen);
    if (loaded)
        return std::move(*loaded);
    return std::unexpected(WriteResult{WriteOutcome::ProgramFailed, ProgramMessage(loaded.error(), programFile), std::move(loaded.error())});
}

std::expected<void, QString> CheckProgramFileKind(const PathName &programFile, InputReader reader)
{
    if (const auto checked = CheckInputKind(programFile.Bytes().toStdString(), ProgramFileKinds(reader)); !checked)
        return std::unexpected(ProgramMessage(checked.error(), programFile));
    return {};
}

}  // namespace qw735
