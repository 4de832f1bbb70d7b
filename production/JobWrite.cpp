// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/JobWrite.h"

#include "production/JobFile.h"
#include "sequence/LineSequence.h"

#include <tuple>

namespace qw735 {

namespace {

PathName PathOf(const std::string &bytes)
{
    return PathName(QByteArray::fromStdString(bytes));
}

}  // namespace

std::expected<JobWrite, JobError> JobWriteOf(const PathName &jobFile, WriteOptions base)
{
    const auto read = ReadJobFile(jobFile);
    if (!read)
        return std::unexpected(read.error());
    const Job job = JobResolved(read->job, jobFile.Bytes().toStdString());
    JobWrite run;
    run.program = PathOf(job.program);
    run.loader = job.loader.empty() ? PathName() : PathOf(job.loader);
    run.write = std::move(base);
    if (job.loaderStartMs)
        run.write.loaderStartMs = *job.loaderStartMs;
    run.programOptions.binaryAt = job.binaryAt;
    run.programOptions.verifyChecksums = !job.ignoreChecksums;
    run.numbering = job.numbering;
    for (const auto &[key, text, into] : {std::tuple{"boot_entry", &job.bootEntry, &run.write.bootEntry},
                                          std::tuple{"release", &job.release, &run.write.release}}) {
        if (!*text)
            continue;
        auto sequence = ParseSequence(QString::fromStdString(**text));
        if (!sequence)
            return std::unexpected(JobError{JobError::Kind::BadValue, 0, key, sequence.error().text.toStdString()});
        *into = std::move(*sequence);
    }
    run.write.syncRetries = job.syncRetries.value_or(run.write.bootEntry ? DefaultSyncRetriesWithEntry : 0);
    run.report = job.report.empty() ? PathName() : PathOf(job.report);
    for (const std::string &port : job.ports)
        run.ports << QByteArray::fromStdString(port);
    for (const std::string &slot : job.autoSlots)
        run.autoSlots << QByteArray::fromStdString(slot);
    run.inUse = JobInUse{jobFile.Display(), read->sha256, job.programSha256, job.loaderSha256};
    return run;
}

std::expected<void, JobError> CheckJobFiles(const JobInUse &job, const QString &programShown, const QByteArray &programSha256,
                                            const QString &loaderShown, const QByteArray &loaderSha256)
{
    for (const auto &[key, shown, approved, actual] :
         {std::tuple{"program_sha256", programShown, &job.programSha256, &programSha256},
          std::tuple{"loader_sha256", loaderShown, &job.loaderSha256, &loaderSha256}}) {
        if (auto same = CheckJobSha256(key, shown, *approved, *actual); !same)
            return same;
    }
    return {};
}

std::expected<std::unique_ptr<PreparedRun>, RunSetupError> PreparedRun::Prepare(const QString &shown, const QString &loaderShown,
                                                                                 const WriteInput &input, const std::optional<JobInUse> &job,
                                                                                 const std::optional<JobNumbering> &numbering, WriteOptions write)
{
    std::unique_ptr<PreparedRun> run(new PreparedRun);
    run->program_ = RecordedProgramOf(shown, input);
    // A file changed after its job was approved is not written, not even
    // into the first board.
    if (job) {
        if (const auto approved = CheckJobFiles(*job, shown, run->program_.fileSha256, loaderShown, run->program_.loaderSha256); !approved)
            return std::unexpected(RunSetupError{RunSetupError::Kind::JobChanged,
                                                 QString::fromStdString(DescribeJobError(approved.error(), job->shown.toStdString()))});
        run->program_.job = job->shown;
        run->program_.jobSha256 = job->sha256;
    }
    // The numbering is placed against the file's data and its source read
    // before any port opens.
    run->write_ = std::move(write);
    if (numbering) {
        auto opened = BoardNumbering::Open(numbering->field, numbering->source, input.summary.loaded);
        if (!opened)
            return std::unexpected(RunSetupError{RunSetupError::Kind::Numbering, QString::fromStdString(opened.error().text)});
        run->numbering_.emplace(std::move(*opened));
        run->write_.ownInput = &run->numbered_.emplace(*run->numbering_);
    }
    return run;
}

}  // namespace qw735
