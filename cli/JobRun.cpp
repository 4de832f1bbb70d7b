// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/JobRun.h"

#include "cli/Console.h"
#include "production/ExitStatus.h"
#include "cli/RunSetup.h"
#include "ports/PortName.h"
#include "production/JobFile.h"
#include "production/JobWrite.h"
#include "production/ProductionRecord.h"
#include "writer/WriteOptions.h"
#include "writer/FileSystem.h"

#include <QFile>
#include <tuple>

namespace qw735 {

namespace {

QString Described(const JobError &error, const PathName &job)
{
    return QString::fromStdString(DescribeJobError(error, job.Display().toStdString()));
}

}  // namespace

std::expected<std::pair<Options, std::optional<JobInUse>>, int> ApplyJob(const Options &given, const Console &console)
{
    if (given.job.IsEmpty())
        return std::pair{given, std::optional<JobInUse>()};
    auto job = JobWriteOf(given.job, given.write);
    if (!job) {
        console.Tell(Described(job.error(), given.job));
        return std::unexpected(ExitUsage);
    }
    Options options = given;
    options.file = job->program;
    options.loader = job->loader;
    options.write = job->write;
    options.program = job->programOptions;
    options.numbering = job->numbering;
    options.report = job->report;
    // Ports given after --job replace the job's; a job with slots and no
    // ports given writes its boards as they are plugged in.
    if (options.ports.isEmpty())
        options.ports = job->ports;
    if (options.ports.isEmpty() && !job->autoSlots.isEmpty()) {
        options.ports = job->autoSlots;
        options.automatic.on = true;
    }
    if (options.ports.isEmpty()) {
        console.Tell(Described({JobError::Kind::Missing, 0, "ports", "the job names no ports: give them after --job " + given.job.Display().toStdString()},
                               given.job));
        return std::unexpected(ExitUsage);
    }
    return std::pair{std::move(options), std::optional<JobInUse>(std::move(job->inUse))};
}

int RunMakeJob(const Options &options, const Console &console)
{
    const FileSystem fileSystem;
    const PathName loaderPath = options.loader.IsEmpty() ? PathName(QFile::encodeName(fileSystem.LoaderPath())) : options.loader;
    // The ports are checked as a write checks them: a job names none it
    // could not write.
    for (const QByteArray &port : options.ports) {
        if (const auto name = PortName::Parse(PathString(port)); !name)
            return Misused(console, name.error());
    }
    const auto input = ReadRunInput(options, loaderPath, fileSystem, console);
    if (!input)
        return input.error();
    if (options.numbering) {
        if (const auto placed = CheckSerialField(options.numbering->field, input->summary.loaded); !placed) {
            console.Tell(QString::fromStdString(placed.error().text));
            return ExitUsage;
        }
    }
    const RecordedProgram program = RecordedProgramOf(options.file.Display(), *input);
    const std::string jobFile = options.job.Bytes().toStdString();
    Job job;
    job.program = options.file.Bytes().toStdString();
    job.programSha256 = program.fileSha256.toStdString();
    // Without --loader the station's own is sent, as long as it is this one.
    job.loader = options.loader.Bytes().toStdString();
    job.loaderSha256 = program.loaderSha256.toStdString();
    job.loaderStartMs = options.write.loaderStartMs;
    job.binaryAt = options.program.binaryAt;
    job.ignoreChecksums = !options.program.verifyChecksums;
    job.numbering = options.numbering;
    if (options.write.bootEntry) {
        job.bootEntry = options.write.bootEntry->Label().toStdString();
        job.syncRetries = options.write.syncRetries;
    }
    if (options.write.release)
        job.release = options.write.release->Label().toStdString();
    job.report = options.report.Bytes().toStdString();
    for (const QByteArray &port : options.ports)
        job.ports.push_back(port.toStdString());
    if (const auto written = WriteJobFile(options.job, JobKept(job, jobFile)); !written) {
        console.Tell(Described(written.error(), options.job));
        return ExitUsage;
    }
    console.Out(QStringLiteral("Job %1 made: %2 (SHA-256 %3), loader SHA-256 %4")
                    .arg(options.job.Display(), options.file.Display(), QString::fromLatin1(program.fileSha256), QString::fromLatin1(program.loaderSha256)));
    return ExitOk;
}

}  // namespace qw735
