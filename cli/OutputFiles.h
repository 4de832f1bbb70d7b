// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "production/RecordDestination.h"

#include <QByteArray>
#include <QString>
#include <expected>
#include <memory>
#include <optional>

namespace qw735 {

class OutputSink;
class TraceOutput;

// The files a write reads and the outputs it was asked for, as the bytes
// given on the command line.
struct OutputRequest {
    PathName programFile;
    PathName loader;
    PathName report;     // empty: no report; "-": the records on stdout
    bool trace = false;
    PathName traceFile;  // empty with `trace`: to stderr
};

// Where one run's text goes. stdout and stderr go through sinks of their own
// (see OutputSink), so that no board ever waits for their readers.
struct RunOutputs {
    std::shared_ptr<OutputSink> out;
    std::shared_ptr<OutputSink> err;
    // Where the records are kept; null: not kept (or on stdout).
    std::unique_ptr<RecordDestination> records;
    // --report -: each record a line on stdout, which then holds nothing
    // else (the results go to stderr), for a script that reads them.
    bool recordsToStdout = false;
    std::unique_ptr<TraceOutput> trace;
    QString traceName;  // as messages show it; "stderr" for stderr
    RunOutputs();
    RunOutputs(RunOutputs &&) noexcept;
    ~RunOutputs();
};

// Opens the report and the trace file. Neither may be the program file,
// the loader or the other (the same file under any name: compared by device
// and inode, before anything is written to it); the report must be a
// regular file, where records stay. The error is the message, for a usage
// error before any port is opened.
[[nodiscard]] std::expected<RunOutputs, QString> OpenRunOutputs(const OutputRequest &request);

}  // namespace qw735
