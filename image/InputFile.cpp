// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/InputFile.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qw735 {

namespace {

// Whether a reader that takes `kinds` reads a file of `status`'s type.
std::expected<void, ProgramError> CheckFileType(const struct stat &status, InputKinds kinds)
{
    const auto refused = [](std::string why) { return std::unexpected(ProgramError{ProgramError::Kind::NotReadable, {}, 0, std::move(why)}); };
    const auto notRegular = [&refused](const char *what) { return refused(std::string("it is ") + what + ", not a regular file"); };
    const mode_t type = status.st_mode & S_IFMT;
    if (type == S_IFREG || kinds == InputKinds::Anything)
        return {};
    switch (type) {
    case S_IFIFO:
        if (kinds == InputKinds::FilesAndPipes)
            return {};
        return notRegular("a pipe");
    case S_IFDIR: return refused(std::strerror(EISDIR));
    case S_IFCHR: return notRegular("a character device");
    case S_IFBLK: return notRegular("a block device");
    case S_IFSOCK: return notRegular("a socket");
    default: return refused("it is not a regular file");
    }
}

std::unexpected<ProgramError> SystemError(ProgramError::Kind kind)
{
    return std::unexpected(ProgramError{kind, {}, 0, std::strerror(errno)});
}

}  // namespace

std::expected<void, ProgramError> CheckInputKind(const std::string &path, InputKinds kinds)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return {};
    return CheckFileType(status, kinds);
}

std::expected<InputFile, ProgramError> InputFile::Open(const std::string &path, InputKinds kinds)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return SystemError(ProgramError::Kind::CannotOpen);
    if (auto judged = CheckFileType(status, kinds); !judged)
        return std::unexpected(std::move(judged.error()));

    // A regular file opens without blocking; should it have been replaced
    // by a pipe meanwhile, the non-blocking open cannot wait for a writer,
    // and the check after the open refuses it.
    const bool regular = S_ISREG(status.st_mode);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | (regular ? O_NONBLOCK : 0));
    if (fd < 0)
        return SystemError(ProgramError::Kind::CannotOpen);
    InputFile file{UniqueFd(fd)};
    if (::fstat(fd, &status) != 0)
        return SystemError(ProgramError::Kind::CannotOpen);
    if (auto judged = CheckFileType(status, kinds); !judged)
        return std::unexpected(std::move(judged.error()));
    if (regular)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return file;
}

std::expected<std::size_t, ProgramError> InputFile::Read(char *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t got = ::read(fd_.Get(), buffer, size);
        if (got >= 0)
            return static_cast<std::size_t>(got);
        if (errno != EINTR)
            return SystemError(ProgramError::Kind::CannotRead);
    }
}

}  // namespace qw735
