// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "cli/Options.h"
#include "production/JobWrite.h"

#include <QByteArray>
#include <expected>
#include <optional>
#include <string>

namespace qw735 {

class Console;
struct WriteInput;

// The options of a write with --job: what the job file fixes, its paths
// resolved from the job's folder, with the ports given on the command line
// (or else the job's). A job that cannot be read or run is said on
// `console`; the error is the exit status. Without --job, the options as
// they are and no job.
std::expected<std::pair<Options, std::optional<JobInUse>>, int> ApplyJob(const Options &given, const Console &console);

// --make-job: reads the program file and the loader as a write would, and
// makes the job file from the options given, with their hashes. Returns the
// exit status.
int RunMakeJob(const Options &options, const Console &console);

}  // namespace qw735
