// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "image/ProgramFile.h"
#include "image/ProgramImage.h"
#include "writer/TransferResult.h"
#include "writer/WriteResult.h"

#include <QByteArray>
#include <QString>
#include <expected>
#include <functional>
#include <string_view>

namespace qw735 {

// What a write sends, read from the files before the write starts. A write
// only reads it, so one input can serve any number of writes, also at the
// same time on several threads.
struct WriteInput {
    ProgramImage image;
    // The loader's bytes, or LoaderMissing: a missing or empty loader is
    // reported after the handshake, where the loader transfer finds it.
    std::expected<QByteArray, TransferResult> loader;
    // SHA-256 of the program file's bytes as read, in hex, for the
    // production record.
    QByteArray programFileSha256;
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
// `options` say so), all of it checked, and the loader. The error is how
// the write ends before the target hears a byte: ProgramFailed,
// LoaderTooLarge (the size field of the boot mode holds 16 bits), or
// LoaderIsProgram (both paths name one file that reads as a program; one
// that does not is refused as the program it is not).
[[nodiscard]] std::expected<WriteInput, WriteResult> ReadWriteInput(const PathName &programFile, const PathName &loader, InputReader reader,
                                                                    const ProgramOptions &options = {});

// The program file part of ReadWriteInput. The error is a ProgramFailed
// result, its message naming the file as PathName::Display shows it.
// `seen` gets every byte read (see LoadProgramFile).
[[nodiscard]] std::expected<ProgramSummary, WriteResult> ReadProgramFile(const PathName &programFile, ProgramImage &image,
                                                                         InputReader reader, const ProgramOptions &options = {},
                                                                         const std::function<void(std::string_view)> &seen = {});

// Whether ReadProgramFile would read the file, judged by its kind without
// opening it; the error is the message it would end with.
[[nodiscard]] std::expected<void, QString> CheckProgramFileKind(const PathName &programFile, InputReader reader);

}  // namespace qw735
