// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>

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

struct InputFileError {
    // CannotOpen: the operating system's reason. NotReadable: a kind of
    // file the reader does not take ("it is a pipe, not a regular file",
    // "Is a directory").
    enum class Kind { CannotOpen, NotReadable };
    Kind kind;
    std::string detail;
};

// Why a file at `path` is not read by a reader that takes `kinds`, judged
// from its kind without opening it (opening a device can have effects, such
// as resetting a board on a serial port). nullopt when it is of a kind the
// reader takes, and also when it cannot be looked at: opening it tells why.
std::optional<InputFileError> RefusedKind(const std::string &path, InputKinds kinds);

// A file of a write's input, open for reading; closed when destroyed.
class InputFile {
public:
    // Opens `path` if it is of a kind the reader takes; otherwise nullopt,
    // and `error` says why. A pipe's open waits for its writer.
    static std::optional<InputFile> Open(const std::string &path, InputKinds kinds, InputFileError &error);

    InputFile(InputFile &&other) noexcept;
    InputFile &operator=(InputFile &&other) noexcept;
    ~InputFile();

    // Up to `size` bytes: 0 at the end, -1 on an error (errno says which).
    // An interrupted read is retried.
    ssize_t Read(char *buffer, std::size_t size);
    // The size a regular file has; nullopt for a pipe or a device.
    std::optional<off_t> RegularSize() const { return regularSize_; }

private:
    explicit InputFile(int fd, std::optional<off_t> regularSize) : fd_(fd), regularSize_(regularSize) {}

    int fd_ = -1;
    std::optional<off_t> regularSize_;
};

}  // namespace qw735
