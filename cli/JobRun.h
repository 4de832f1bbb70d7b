// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "cli/Options.h"

#include <QByteArray>
#include <expected>
#include <optional>
#include <string>

namespace qw735 {

class Console;
struct WriteInput;

// The job a write runs, as its records name it, with the hashes it approved.
struct JobInUse {
    QString shown;        // its path as messages show it
    QByteArray sha256;    // of the job file's bytes, lower-case hex
    std::string programSha256;
    std::string loaderSha256;
};

// The options of a write with --job: what the job file fixes, its paths
// resolved from the job's folder, with the ports given on the command line
// (or else the job's). A job that cannot be read or run is said on
// `console`; the error is the exit status. Without --job, the options as
// they are and no job.
std::expected<std::pair<Options, std::optional<JobInUse>>, int> ApplyJob(const Options &given, const Console &console);

// Whether the files read are the ones the job approved: the program file's
// and the loader's SHA-256 against the job's, checked before any port opens.
// A file that changed is said on `console`, naming both hashes; the error is
// the exit status.
std::expected<void, int> CheckJobFiles(const JobInUse &job, const QString &programShown, const QByteArray &programSha256,
                                       const QString &loaderShown, const QByteArray &loaderSha256, const Console &console);

// --make-job: reads the program file and the loader as a write would, and
// makes the job file from the options given, with their hashes. Returns the
// exit status.
int RunMakeJob(const Options &options, const Console &console);

}  // namespace qw735
