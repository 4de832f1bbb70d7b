// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/UniqueFd.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <expected>

namespace qw735 {

struct BoardOutcome;
struct ProgramImage;
struct WriteInput;

// What every board of one run shares in its record: the program written.
struct RecordedProgram {
    QString file;             // as messages show it
    QByteArray fileSha256;    // lower-case hex
    QByteArray loaderSha256;  // lower-case hex
    QByteArray imageSha256;   // lower-case hex, of the bytes sent (see ImageSha256)
    std::int32_t transferSize = 0;
    std::uint8_t checksum = 0;
    QString format;                 // "S-record", "Intel HEX", "ELF" or "binary"
    std::uint64_t droppedBytes = 0; // given for addresses past the data area
    // The job file the run wrote, as given, and the SHA-256 of its bytes;
    // empty without a job.
    QString job;
    QByteArray jobSha256;
};

// The SHA-256 of the bytes a write of `image` sends (its first
// TransferSize(MaxAddress) bytes), in lower-case hex: the same however the
// file was written, so that --info of a file and a board's record can be
// matched.
QByteArray ImageSha256(const ProgramImage &image);

// The program as the records describe it: the program file as messages
// show it, the digests of its bytes and of the loader (empty when there is
// no loader), the image's transfer size and checksum.
RecordedProgram RecordedProgramOf(const QString &file, const WriteInput &input);

// One board's record as a JSON object on one line (JSON Lines), ending in a
// newline:
//   {"start":"2025-01-31T09:15:02.125Z","port":"COM3","device":"/dev/ttyUSB0","remote":false,
//    "file":"/srv/prog.mot","file_sha256":"…","loader_sha256":"…","image_sha256":"…",
//    "transfer_size":65600,"checksum":196,"message":"O.K.","exit_status":0,
//    "duration_s":21.734,"bytes_sent":69763,"bytes_received":3106,
//    "format":"Intel HEX","dropped_bytes":0,"round_trip_ms":2.215}
// round_trip_ms is null when the handshake did not complete.
// A board given its own number also has "serial" (as written), and its own
// image_sha256, transfer_size and checksum; a job's run has "job" and
// "job_sha256".
// A board written through rfc2217+tls:// also has "server_cert_sha256", the
// SHA-256 of the server's certificate in lower-case hex.
// A board written by the automatic mode has "slot", the slot it was plugged
// into as the user wrote it (`slot`, not empty), and "auto":true.
QByteArray RecordLine(const RecordedProgram &program, const BoardOutcome &board, const QString &message, int exitStatus,
                      const QString &slot = {});

// A board's result as its line and its record say it: the write's message,
// or for a board stopped before its end, `stoppedBy` ("ended by SIGINT",
// "stopped"), the step it stopped at and whether anything was sent.
QString BoardMessage(const BoardOutcome &outcome, const QString &stoppedBy);
// Its exit status, as the shell would see a single write of it end:
// 128 + `signal` for a board a signal stopped (0: none did).
int BoardStatus(const BoardOutcome &outcome, int signal);

// Why a record could not be kept. Front ends choose what to add by the kind
// and show the text as it is.
struct RecordError {
    enum class Kind {
        CannotOpen,   // the report file cannot be opened or made
        CannotLock,   // the system refused the lock that keeps records whole
        GaveUp,       // the run ended while another program held the lock
        CannotWrite,  // the record did not go in whole (a full disk, a size limit)
    };

    Kind kind;
    // "Cannot write the report file /srv/r.jsonl: No space left on device"
    QString text;
};

// The file records are appended to, shared with other processes writing to
// it at the same time. Open before any port is, so that a bad path stops the
// run before it starts.
class RecordFile {
public:
    [[nodiscard]] static std::expected<RecordFile, RecordError> Open(const QString &path);
    // Takes `fd`, opened for appending; `shownAs` names it in messages.
    static RecordFile Adopt(UniqueFd fd, QString shownAs) { return RecordFile(std::move(fd), std::move(shownAs)); }
    RecordFile(RecordFile &&) noexcept = default;
    RecordFile &operator=(RecordFile &&) = delete;

    // Appends `line` whole or not at all: under an exclusive lock on the
    // file, in one write; a write cut short is taken back. A file whose last
    // line was left unfinished by someone else gets a line break first, so
    // that this record stays a line of its own.
    // While another program holds the lock, the wait ends as soon as
    // `giveUp` is set; the record is then not written.
    [[nodiscard]] std::expected<void, RecordError> Append(const QByteArray &line, const std::atomic<bool> *giveUp = nullptr);

private:
    RecordFile(UniqueFd fd, QString path) : fd_(std::move(fd)), path_(std::move(path)) {}

    UniqueFd fd_;
    QString path_;
};

}  // namespace qw735
