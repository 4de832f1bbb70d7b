// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/OutputFiles.h"

#include "base/OutputSink.h"
#include "base/PathName.h"
#include "base/UniqueFd.h"
#include "trace/WireTrace.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qw735 {

namespace {

// One file, whatever it is called: a link, another spelling of its path or
// a second hard link all come to the same device and inode.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    QString role;  // "the S-record file", ...
};

bool SameFile(const struct stat &info, const FileIdentity &known)
{
    return info.st_dev == known.device && info.st_ino == known.inode;
}

void AddIdentity(std::vector<FileIdentity> &known, const PathName &path, const char *role)
{
    struct stat info {};
    if (!path.IsEmpty() && ::stat(path.Bytes().constData(), &info) == 0)
        known.push_back({info.st_dev, info.st_ino, QString::fromLatin1(role)});
}

QString SystemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Opens `path` for `role` without changing it, and refuses it when it is a
// file already taken. Nothing is truncated here: a refused file stays as it
// was.
std::expected<UniqueFd, QString> OpenChecked(const PathName &path, const char *role, int flags, std::vector<FileIdentity> &known)
{
    const QString name = path.Display();
    UniqueFd fd(::open(path.Bytes().constData(), flags | O_CREAT | O_NOCTTY | O_CLOEXEC, 0644));
    struct stat info {};
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0)
        return std::unexpected(QStringLiteral("Cannot open the %1 %2: %3").arg(QLatin1String(role), name, SystemError(errno)));
    for (const FileIdentity &other : known) {
        if (SameFile(info, other)) {
            return std::unexpected(QStringLiteral("the %1 %2 is also %3; give each output a file of its own")
                                       .arg(QLatin1String(role), name, other.role));
        }
    }
    known.push_back({info.st_dev, info.st_ino, QStringLiteral("the ") + QLatin1String(role)});
    return fd;
}

}  // namespace

RunOutputs::RunOutputs() = default;
RunOutputs::RunOutputs(RunOutputs &&) noexcept = default;
RunOutputs::~RunOutputs() = default;

std::expected<RunOutputs, QString> OpenRunOutputs(const OutputRequest &request)
{
    std::vector<FileIdentity> known;
    AddIdentity(known, request.programFile, "the S-record file");
    AddIdentity(known, request.loader, "the loader");

    RunOutputs outputs;
    outputs.out = std::make_shared<OutputSink>(STDOUT_FILENO);
    outputs.err = std::make_shared<OutputSink>(STDERR_FILENO);
    if (request.report.Bytes() == "-") {
        outputs.recordsToStdout = true;
    } else if (!request.report.IsEmpty()) {
        // Without waiting, whatever it is (a device might wait for its line);
        // what it is decides below.
        auto fd = OpenChecked(request.report, "report file", O_RDWR | O_APPEND | O_NONBLOCK, known);
        if (!fd)
            return std::unexpected(fd.error());
        const int report = fd->Get();
        outputs.records = std::make_unique<FileDestination>(RecordFile::Adopt(std::move(*fd), request.report.Display()));
        // A FIFO or a device keeps nothing for traceability: a record sent
        // into a pipe with no reader, or to a terminal, is gone.
        struct stat info {};
        if (::fstat(report, &info) != 0 || !S_ISREG(info.st_mode))
            return std::unexpected(QStringLiteral("the report file %1 is not a regular file; records must be kept in one")
                                       .arg(request.report.Display()));
        ::fcntl(report, F_SETFL, O_APPEND);
    }
    if (request.trace && request.traceFile.IsEmpty()) {
        outputs.trace = std::make_unique<TraceOutput>(outputs.err);
        outputs.traceName = QStringLiteral("stderr");
    } else if (request.trace) {
        auto fd = OpenChecked(request.traceFile, "trace file", O_WRONLY, known);
        if (!fd)
            return std::unexpected(fd.error());
        struct stat info {};
        // A trace starts afresh; only now that it is known to be no input.
        if (::fstat(fd->Get(), &info) == 0 && S_ISREG(info.st_mode))
            [[maybe_unused]] const int ignored = ::ftruncate(fd->Get(), 0);
        outputs.trace = std::make_unique<TraceOutput>(std::make_shared<OutputSink>(std::move(*fd)));
        outputs.traceName = request.traceFile.Display();
    }
    return outputs;
}

}  // namespace qw735
