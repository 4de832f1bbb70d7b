// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/UniqueFd.h"
#include "image/ProgramError.h"

#include <cstddef>
#include <expected>
#include <string>
#include <utility>

namespace qw735 {

// The kinds of file a reader takes. Each reader of a write's files says how
// much it can afford: a regular file always ends, a pipe may keep its
// reader waiting for a writer, and a device may never end at all.
enum class InputKinds {
    // Regular files: for a reader nobody can interrupt (the window reads
    // while the user waits), which must never hang.
    Files,
    // Also pipes (a FIFO, a shell's <(...), /dev/stdin on a pipe): for a
    // reader that can be interrupted while it waits.
    FilesAndPipes,
    // Whatever can be opened: for a reader that can be interrupted and stops
    // after a bounded number of bytes anyway.
    Anything,
};

// Whether a reader that takes `kinds` reads the file at `path`, judged from
// its kind without opening it (opening a device can have effects, such as
// resetting a board on a serial port); the error (NotReadable) says why
// not. A file that cannot be looked at passes: opening it tells why.
[[nodiscard]] std::expected<void, ProgramError> CheckInputKind(const std::string &path, InputKinds kinds);

// A file of a write's input, open for reading; closed when destroyed. Its
// errors are a program file's (CannotOpen, NotReadable, CannotRead); the
// loader's are not shown, since a loader that cannot be read counts as not
// found.
class InputFile {
public:
    // Opens `path` if it is of a kind the reader takes; the error says why
    // not. A pipe's open waits for its writer.
    [[nodiscard]] static std::expected<InputFile, ProgramError> Open(const std::string &path, InputKinds kinds);

    InputFile(InputFile &&) noexcept = default;
    InputFile &operator=(InputFile &&) noexcept = default;

    // Up to `size` bytes, 0 at the end. An interrupted read is retried.
    [[nodiscard]] std::expected<std::size_t, ProgramError> Read(char *buffer, std::size_t size);

private:
    explicit InputFile(UniqueFd fd) : fd_(std::move(fd)) {}

    UniqueFd fd_;
};

}  // namespace qw735
