// SPDX-License-Identifier: GPL-2.0-or-later
#include "numbering/StateFile.h"

#include "base/PathName.h"
#include "base/ReadRest.h"

#include <QByteArray>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qw735 {

namespace {

// A state file holds a number or two; anything larger is not one.
constexpr std::size_t LargestState = 4096;

std::string Reason(int error)
{
    return std::strerror(error);
}

// A link is followed once, here: the new file must replace the file it
// names, not the link.
std::string Target(const std::string &path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return path;
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::string Folder(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Writes all of `text`, going on after a short or interrupted write.
bool WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

bool FlushFolderOf(const std::string &path)
{
    const UniqueFd folder(::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.Valid() && ::fsync(folder.Get()) == 0;
}

std::string ShownPath(const std::string &path)
{
    return BytesDisplay(QByteArray::fromStdString(path)).toStdString();
}

StateFile::StateFile(std::string path, std::string shown, std::string described, UniqueFd lock)
    : path_(std::move(path)), shown_(std::move(shown)), described_(std::move(described)), lock_(std::move(lock))
{
}

std::expected<StateFile, SerialError> StateFile::Open(const std::string &path, std::string role)
{
    const std::string target = Target(path);
    const std::string lockPath = target + ".lock";
    UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!lock.Valid())
        return std::unexpected(SerialError{SerialError::Kind::CannotOpen,
                                           "Cannot open the lock file " + ShownPath(lockPath) + " of " + role + " " + ShownPath(path) + ": " + Reason(errno)});
    std::string shown = ShownPath(path);
    std::string described = role + " " + shown;
    return StateFile(target, std::move(shown), std::move(described), std::move(lock));
}

std::expected<FileLock, SerialError> StateFile::Lock(const std::atomic<bool> *giveUp) const
{
    auto lock = FileLock::Take(lock_.Get(), giveUp);
    if (!lock && lock.error() == EINTR)
        return std::unexpected(SerialError{SerialError::Kind::Interrupted, "The run ended while another program held " + described_});
    if (!lock)
        return std::unexpected(SerialError{SerialError::Kind::CannotOpen, "Cannot lock " + described_ + ": " + Reason(lock.error())});
    return std::move(*lock);
}

std::expected<std::optional<std::string>, SerialError> StateFile::Read() const
{
    const auto cannotRead = [this](int error) {
        return std::unexpected(SerialError{SerialError::Kind::CannotOpen, "Cannot read " + described_ + ": " + Reason(error)});
    };
    const UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
        return errno == ENOENT ? std::expected<std::optional<std::string>, SerialError>(std::nullopt) : cannotRead(errno);
    auto text = ReadRest(fd.Get(), LargestState);
    if (!text)
        return cannotRead(text.error());
    if (text->size() <= LargestState)
        return std::move(*text);
    return std::unexpected(SerialError{SerialError::Kind::BadContent,
                                       "Cannot read " + described_ + ": it is larger than " + std::to_string(LargestState) + " bytes"});
}

std::expected<void, SerialError> StateFile::Replace(std::string_view text) const
{
    const std::string temporary = path_ + ".tmp";
    const auto cannotStore = [&](int error) {
        return std::unexpected(SerialError{SerialError::Kind::CannotStore, "Cannot store " + described_ + ": " + Reason(error)});
    };
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.Valid())
        return cannotStore(errno);
    // The new file keeps the old one's permissions (a counter others may
    // only read, say).
    struct stat old {};
    const bool same = ::stat(path_.c_str(), &old) != 0 || ::fchmod(fd.Get(), old.st_mode & 07777) == 0;
    if (!same || !WriteAll(fd.Get(), text) || ::fsync(fd.Get()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return cannotStore(error);
    }
    fd.Reset();
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return cannotStore(error);
    }
    // The rename lasts only once the folder that holds it is on the disk.
    if (!FlushFolderOf(path_))
        return cannotStore(errno);
    return {};
}

}  // namespace qw735
