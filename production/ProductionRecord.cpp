// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/ProductionRecord.h"

#include "base/FileLock.h"
#include "production/ExitStatus.h"
#include "production/GangWrite.h"
#include "writer/SendImage.h"
#include "writer/WriteInput.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qw735 {

namespace {

QString SystemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

QByteArray ImageSha256(const ProgramImage &image)
{
    const QByteArrayView sent(image.ImageBuffer.data(), TransferSize(image.MaxAddress));
    return QCryptographicHash::hash(sent, QCryptographicHash::Sha256).toHex();
}

RecordedProgram RecordedProgramOf(const QString &file, const WriteInput &input)
{
    RecordedProgram program;
    program.file = file;
    program.fileSha256 = input.programFileSha256;
    if (input.loader)
        program.loaderSha256 = QCryptographicHash::hash(*input.loader, QCryptographicHash::Sha256).toHex();
    program.imageSha256 = ImageSha256(input.image);
    program.transferSize = TransferSize(input.image.MaxAddress);
    program.checksum = ImageChecksum(input.image);
    program.format = QString::fromLatin1(FormatName(input.summary.format));
    program.droppedBytes = input.summary.droppedBytes;
    return program;
}

QByteArray RecordLine(const RecordedProgram &program, const BoardOutcome &board, const QString &message, int exitStatus,
                      const QString &slot)
{
    // A board with its own number was sent an image of its own.
    const OwnInputFacts own = board.own.value_or(OwnInputFacts{{}, program.imageSha256, program.transferSize, program.checksum});
    QJsonObject record{
        {QStringLiteral("start"), board.started.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("port"), board.port},
        {QStringLiteral("device"), board.device},
        {QStringLiteral("remote"), board.remote},
        {QStringLiteral("file"), program.file},
        {QStringLiteral("file_sha256"), QString::fromLatin1(program.fileSha256)},
        {QStringLiteral("loader_sha256"), QString::fromLatin1(program.loaderSha256)},
        {QStringLiteral("image_sha256"), QString::fromLatin1(own.imageSha256)},
        {QStringLiteral("transfer_size"), own.transferSize},
        {QStringLiteral("checksum"), own.checksum},
        {QStringLiteral("message"), message},
        {QStringLiteral("exit_status"), exitStatus},
        {QStringLiteral("duration_s"), qRound64(board.seconds * 1000) / 1000.0},
        {QStringLiteral("bytes_sent"), static_cast<qint64>(board.bytesSent)},
        {QStringLiteral("bytes_received"), static_cast<qint64>(board.bytesReceived)},
        {QStringLiteral("format"), program.format},
        {QStringLiteral("dropped_bytes"), static_cast<qint64>(program.droppedBytes)},
        // What the line added to each reply, as the handshake measured it:
        // a slow adapter or network shows here first.
        {QStringLiteral("round_trip_ms"), board.roundTripMs ? QJsonValue(qRound64(*board.roundTripMs * 1000) / 1000.0) : QJsonValue()},
        // How the board was put into boot mode: the DTR/RTS sequence's name
        // or steps, null when by hand; and the handshakes it took.
        {QStringLiteral("boot_entry"), board.bootEntry.isEmpty() ? QJsonValue() : QJsonValue(board.bootEntry)},
        {QStringLiteral("attempts"), board.attempts},
    };
    // Which station's server wrote the board: its certificate, as
    // `openssl x509 -fingerprint -sha256` shows it, without the colons.
    if (!board.serverSha256.isEmpty())
        record.insert(QStringLiteral("server_cert_sha256"), QString::fromLatin1(board.serverSha256));
    if (board.own)
        record.insert(QStringLiteral("serial"), board.own->serial);
    if (!program.job.isEmpty()) {
        record.insert(QStringLiteral("job"), program.job);
        record.insert(QStringLiteral("job_sha256"), QString::fromLatin1(program.jobSha256));
    }
    // Which slot of a station the board was plugged into: a line's yield
    // by slot shows a worn connector.
    if (!slot.isEmpty()) {
        record.insert(QStringLiteral("slot"), slot);
        record.insert(QStringLiteral("auto"), true);
    }
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

std::expected<RecordFile, RecordError> RecordFile::Open(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::unexpected(RecordError{RecordError::Kind::CannotOpen, QStringLiteral("Cannot open the report file %1: %2").arg(path, SystemError())});
    return RecordFile(UniqueFd(fd), path);
}

std::expected<void, RecordError> RecordFile::Append(const QByteArray &line, const std::atomic<bool> *giveUp)
{
    const auto cannotWrite = [this](const QString &reason) {
        return std::unexpected(RecordError{RecordError::Kind::CannotWrite, QStringLiteral("Cannot write the report file %1: %2").arg(path_, reason)});
    };
    const auto lock = FileLock::Take(fd_.Get(), giveUp);
    if (!lock && lock.error() == EINTR)
        return std::unexpected(RecordError{RecordError::Kind::GaveUp, QStringLiteral("Cannot write the report file %1: "
                                                                                     "the run ended while another program held the file")
                                                                          .arg(path_)});
    if (!lock)
        return std::unexpected(RecordError{RecordError::Kind::CannotLock, QStringLiteral("Cannot lock the report file %1: %2")
                                                                              .arg(path_, QString::fromLocal8Bit(std::strerror(lock.error())))});

    struct stat info {};
    if (::fstat(fd_.Get(), &info) != 0)
        return cannotWrite(SystemError());
    QByteArray text = line;
    if (info.st_size > 0) {
        char last = '\n';
        if (::pread(fd_.Get(), &last, 1, info.st_size - 1) == 1 && last != '\n')
            text.prepend('\n');
    }

    // One write of the whole line; anything less is cut off again, so no
    // reader ever sees half a record.
    ssize_t written;
    while ((written = ::write(fd_.Get(), text.constData(), static_cast<std::size_t>(text.size()))) < 0 && errno == EINTR) {
    }
    if (written == text.size())
        return {};
    const QString reason = written < 0 ? SystemError()
                                       : QStringLiteral("only %1 of %2 bytes could be written").arg(written).arg(text.size());
    if (written > 0)
        [[maybe_unused]] const int ignored = ::ftruncate(fd_.Get(), info.st_size);
    return cannotWrite(reason);
}

QString BoardMessage(const BoardOutcome &outcome, const QString &stoppedBy)
{
    if (outcome.failure)
        return QStringLiteral("the writer failed; the board is not fully written");
    if (outcome.result.outcome != WriteOutcome::Abandoned)
        return outcome.result.message;
    return QStringLiteral("%1 %2; %3")
        .arg(stoppedBy, outcome.stoppedAt,
             outcome.bytesSent == 0 ? QStringLiteral("nothing was sent") : QStringLiteral("the board is not fully written"));
}

int BoardStatus(const BoardOutcome &outcome, int signal)
{
    if (outcome.failure)
        return ExitInternal;
    if (outcome.result.outcome == WriteOutcome::Abandoned && signal != 0)
        return 128 + signal;
    return ExitStatusOf(outcome.result.outcome);
}

}  // namespace qw735
