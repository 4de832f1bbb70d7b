// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "production/JobText.h"

#include <QByteArray>
#include <QString>
#include <expected>
#include <string>
#include <string_view>

namespace qw735 {

// A job as read from its file, with the SHA-256 of the very bytes read
// (lower-case hex), which each board's record names.
struct JobFileRead {
    Job job;  // paths as the file has them (JobResolved resolves them)
    QByteArray sha256;
};

// Reads the job file at `path`. The error names no file: DescribeJobError
// with the path as PathName::Display shows it.
[[nodiscard]] std::expected<JobFileRead, JobError> ReadJobFile(const PathName &path);

// Writes `job` to a new file at `path`, which must not exist yet: a job
// once approved is not replaced by mistake. The file appears whole or not
// at all (written beside it, flushed, then linked in), so that a crash can
// never leave a shorter job that still reads, such as one without its
// numbering. It is read back before it is written: a job that would not
// read back as `job` is refused with the reader's error.
[[nodiscard]] std::expected<void, JobError> WriteJobFile(const PathName &path, const Job &job);

// Whether the file a job names is the one it approved: `approved` is the
// job's SHA-256 under `key` ("program_sha256"), `actual` that of the bytes
// read from the file `shown`. Kind Changed, naming both.
[[nodiscard]] std::expected<void, JobError> CheckJobSha256(std::string_view key, const QString &shown, const std::string &approved,
                                                           const QByteArray &actual);

}  // namespace qw735
