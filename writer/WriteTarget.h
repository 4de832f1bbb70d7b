// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/ProgramFile.h"
#include "image/SRecordImage.h"
#include "writer/SendImage.h"
#include "writer/TransferResult.h"

#include <QByteArray>
#include <QString>
#include <expected>
#include <functional>
#include <string_view>

namespace qw735 {

class FileSystem;
class Link;
class MessageBox;
class ProgressDisplay;
class StepTracker;

// How a write ended. The first seven have the fixed messages of
// writer/Messages.h; the others carry a message of their own.
enum class WriteOutcome {
    Ok,
    HandshakeFailed,
    LoaderNoReply,
    LoaderWrongReply,
    LoaderMissing,
    ImageNoReply,
    ImageWrongReply,
    LoaderTooLarge,   // the size field of the boot mode holds 16 bits
    SRecordFailed,    // the S-record file cannot be read or has a bad record
    PortLost,         // the port failed while open (adapter unplugged)
    Abandoned,        // the user closed the program mid-write; no message
};

// What a user can do about a file that was refused, beyond its message:
// the command line says it (the window has neither choice).
enum class InputAdvice {
    None,
    GiveBinaryAddress,  // not a format read by content: a raw binary needs its address
    IgnoreChecksums,    // a wrong checksum: a hand-patched file can be written as it stands
};

struct [[nodiscard]] WriteResult {
    WriteOutcome outcome;
    QString message;  // empty only when abandoned
    InputAdvice advice = InputAdvice::None;
};

// What a write sends, read from the files before the write starts. A write
// only reads it, so one input can serve any number of writes, also at the
// same time on several threads.
struct WriteInput {
    SRecordImage image;
    // The loader's bytes, or LoaderMissing: a missing or empty loader is
    // reported after the handshake, as it always was.
    std::expected<QByteArray, TransferResult> loader;
    // SHA-256 of the S-record file's bytes as read, in hex, for the
    // production record.
    QByteArray sFileSha256;
    // What the file held: its format, where its data went, what was dropped.
    ProgramSummary summary;
};

// Whether the reader of the files can be stopped while it reads. The window
// reads inside the write while the user waits: it takes regular files only.
// The command line reads before it holds anything, where Ctrl-C ends any
// wait: it also takes pipes, and for the loader, which it reads only so far
// as the size field reaches, anything that opens.
enum class InputReader { Uninterruptible, Interruptible };

// Reads the program file (S-record, Intel HEX, ELF, or raw binary when
// `options` say so), all of it checked, and the loader. Paths are as the
// file system takes them (bytes; a name need not be UTF-8). The error is how
// the write ends before the target hears a byte: SRecordFailed, or
// LoaderTooLarge (the size field of the boot mode holds 16 bits).
[[nodiscard]] std::expected<WriteInput, WriteResult> ReadWriteInput(const QByteArray &sFilePath, const QByteArray &loaderPath,
                                                                    InputReader reader, const ProgramOptions &options = {});

// The program file part of ReadWriteInput. The error is an SRecordFailed
// result, its message naming the file as DisplayPath shows it. `seen` gets
// every byte read (see LoadProgramFile).
[[nodiscard]] std::expected<ProgramSummary, WriteResult> ReadProgramFile(const QByteArray &sFilePath, SRecordImage &image, InputReader reader,
                                                                         const ProgramOptions &options = {},
                                                                         const std::function<void(std::string_view)> &seen = {});

// Whether ReadSRecordFile would read the file, judged by its kind without
// opening it; the error is the message it would end with.
[[nodiscard]] std::expected<void, QString> CheckSRecordFileKind(const QByteArray &sFilePath, InputReader reader);

// How messages show a path given as bytes: as UTF-8, each byte that is not
// part of valid UTF-8 as \xNN.
QString DisplayPath(const QByteArray &path);

// Everything one write needs from its caller.
struct WriteRequest {
    Link &link;                    // port open at 9600 baud, input discarded
    const FileSystem &fileSystem;  // finds the loader
    ProgressDisplay &progress;
    MessageBox &messageBox;
    QString sFilePath;             // the S-record file, re-read at every write
};

// One whole write: reads its input (ReadWriteInput), runs the handshake, the
// loader transfer and the image transfer, and shows exactly one message in
// the message box, except when abandoned. Returns after the box is
// dismissed. The port is left open, at 9600 baud if the write ended before
// the image transfer, 38400 otherwise.
WriteResult WriteTarget(const WriteRequest &request);

// The same with the input already read, for callers that read the files
// before they open any port; the result is returned, not shown. `steps`
// takes the progress and tells afterwards where the write stopped.
// `loaderStartMs`: see SendImage.
WriteResult WriteTarget(Link &link, const WriteInput &input, StepTracker &steps,
                        int loaderStartMs = DefaultLoaderStartMs);

}  // namespace qw735
