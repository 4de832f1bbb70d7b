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

std::optional<InputFileError> Judge(const struct stat &status, InputKinds kinds)
{
    const auto refused = [](const char *what) {
        return InputFileError{InputFileError::Kind::NotReadable, std::string("it is ") + what + ", not a regular file"};
    };
    const mode_t type = status.st_mode & S_IFMT;
    if (type == S_IFREG || kinds == InputKinds::Anything)
        return std::nullopt;
    switch (type) {
    case S_IFIFO: return kinds == InputKinds::FilesAndPipes ? std::nullopt : std::optional(refused("a pipe"));
    case S_IFDIR: return InputFileError{InputFileError::Kind::NotReadable, std::strerror(EISDIR)};
    case S_IFCHR: return refused("a character device");
    case S_IFBLK: return refused("a block device");
    case S_IFSOCK: return refused("a socket");
    default: return InputFileError{InputFileError::Kind::NotReadable, "it is not a regular file"};
    }
}

}  // namespace

std::optional<InputFileError> RefusedKind(const std::string &path, InputKinds kinds)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return Judge(status, kinds);
}

std::optional<InputFile> InputFile::Open(const std::string &path, InputKinds kinds, InputFileError &error)
{
    const auto fail = [&error](InputFileError why) {
        error = std::move(why);
        return std::nullopt;
    };
    const auto cannotOpen = [] { return InputFileError{InputFileError::Kind::CannotOpen, std::strerror(errno)}; };
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return fail(cannotOpen());
    if (auto refused = Judge(status, kinds))
        return fail(std::move(*refused));

    // A regular file opens without blocking; should it have been replaced
    // by a pipe meanwhile, the non-blocking open cannot wait for a writer,
    // and the check after the open refuses it.
    const bool regular = S_ISREG(status.st_mode);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | (regular ? O_NONBLOCK : 0));
    if (fd < 0)
        return fail(cannotOpen());
    InputFile file(fd, std::nullopt);
    if (::fstat(fd, &status) != 0)
        return fail(cannotOpen());
    if (auto refused = Judge(status, kinds))
        return fail(std::move(*refused));
    if (S_ISREG(status.st_mode))
        file.regularSize_ = status.st_size;
    if (regular)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return file;
}

InputFile::InputFile(InputFile &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), regularSize_(other.regularSize_)
{
}

InputFile &InputFile::operator=(InputFile &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        regularSize_ = other.regularSize_;
    }
    return *this;
}

InputFile::~InputFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

ssize_t InputFile::Read(char *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

}  // namespace qw735
