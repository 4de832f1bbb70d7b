// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/JobFile.h"

#include "base/ReadRest.h"
#include "base/UniqueFd.h"
#include "numbering/StateFile.h"

#include <QCryptographicHash>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qw735 {

namespace {

// Far more than any job: a file this large is not one.
constexpr std::size_t LargestJob = 1 << 20;

JobError SystemFault(JobError::Kind kind, int error)
{
    return JobError{kind, 0, {}, std::strerror(error)};
}

}  // namespace

std::expected<JobFileRead, JobError> ReadJobFile(const PathName &path)
{
    const UniqueFd fd(::open(path.Bytes().constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
        return std::unexpected(SystemFault(JobError::Kind::CannotRead, errno));
    const auto read = ReadRest(fd.Get(), LargestJob);
    if (!read)
        return std::unexpected(SystemFault(JobError::Kind::CannotRead, read.error()));
    const std::string &text = *read;
    if (text.size() > LargestJob)
        return std::unexpected(JobError{JobError::Kind::CannotRead, 0, {}, "it is larger than 1 MiB, which no job is"});
    auto job = ParseJob(text);
    if (!job)
        return std::unexpected(job.error());
    return JobFileRead{std::move(*job), QCryptographicHash::hash(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())),
                                                                 QCryptographicHash::Sha256)
                                            .toHex()};
}

std::expected<void, JobError> WriteJobFile(const PathName &path, const Job &job)
{
    const auto text = JobText(job);
    if (!text)
        return std::unexpected(text.error());
    auto readBack = ParseJob(*text);
    if (!readBack || *readBack != job) {
        // About a file not written: its lines mean nothing to the user.
        JobError refused = readBack ? JobError{JobError::Kind::BadValue, 0, {}, "it would not read back as it was given"} : readBack.error();
        refused.line = 0;
        return std::unexpected(refused);
    }

    const QByteArray temporary = path.Bytes() + ".tmp";
    const auto cannotWrite = [&](int error) {
        ::unlink(temporary.constData());
        return std::unexpected(SystemFault(JobError::Kind::CannotWrite, error));
    };
    UniqueFd fd(::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.Valid())
        return std::unexpected(SystemFault(JobError::Kind::CannotWrite, errno));
    for (std::string_view rest = *text; !rest.empty();) {
        const ssize_t written = ::write(fd.Get(), rest.data(), rest.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return cannotWrite(written < 0 ? errno : ENOSPC);
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fsync(fd.Get()) != 0)
        return cannotWrite(errno);
    fd.Reset();
    // A link, unlike a rename, never replaces a file that is there.
    if (::link(temporary.constData(), path.Bytes().constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        if (error == EEXIST)
            return std::unexpected(JobError{JobError::Kind::CannotWrite, 0, {}, "it exists already; a job is made once (remove it to make it anew)"});
        return std::unexpected(SystemFault(JobError::Kind::CannotWrite, error));
    }
    ::unlink(temporary.constData());
    if (!FlushFolderOf(path.Bytes().toStdString()))
        return std::unexpected(SystemFault(JobError::Kind::CannotWrite, errno));
    return {};
}

std::expected<void, JobError> CheckJobSha256(std::string_view key, const QString &shown, const std::string &approved, const QByteArray &actual)
{
    if (actual.toStdString() == approved)
        return {};
    return std::unexpected(JobError{JobError::Kind::Changed, 0, std::string(key),
                                    shown.toStdString() + " has the SHA-256 " + actual.toStdString() + ", not " + approved +
                                        ": it changed after the job was made"});
}

}  // namespace qw735
