// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "image/ProgramFile.h"
#include "production/BoardNumbering.h"
#include "production/JobText.h"
#include "production/ProductionRecord.h"
#include "writer/WriteInput.h"
#include "writer/WriteOptions.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <expected>
#include <memory>
#include <optional>
#include <string>

namespace qw735 {

// The job a write runs, as its records name it, with the hashes it approved.
struct JobInUse {
    QString shown;        // its path as messages show it
    QByteArray sha256;    // of the job file's bytes, lower-case hex
    std::string programSha256;
    std::string loaderSha256;
};

// A job as every front end writes it: what the job file fixes, its paths
// resolved from the job's folder. A front end takes the ports (or slots)
// from here unless it was given its own; nothing else of it is changed.
struct JobWrite {
    PathName program;
    PathName loader;  // empty: the loader a write finds in the data directories
    ProgramOptions programOptions;
    WriteOptions write;
    std::optional<JobNumbering> numbering;
    PathName report;  // empty: no records
    QList<QByteArray> ports;
    QList<QByteArray> autoSlots;
    JobInUse inUse;
};

// Reads the job file at `jobFile` and turns it into a write's settings,
// starting from `base` for what a job does not fix (the wait for a board).
// The error names no file: DescribeJobError with the path as
// PathName::Display shows it.
[[nodiscard]] std::expected<JobWrite, JobError> JobWriteOf(const PathName &jobFile, WriteOptions base = {});

// Whether the files read are the ones the job approved: the program file's
// and the loader's SHA-256 against the job's. Kind Changed, naming both.
[[nodiscard]] std::expected<void, JobError> CheckJobFiles(const JobInUse &job, const QString &programShown, const QByteArray &programSha256,
                                                          const QString &loaderShown, const QByteArray &loaderSha256);

// Why a run cannot start once its files are read: a file its job did not
// approve, or a numbering that cannot be used. The text is the whole
// message, for a usage mistake.
struct RunSetupError {
    enum class Kind { JobChanged, Numbering };
    Kind kind;
    QString text;
};

// What a run writes once its files are read: the program as the records
// describe it, each board's own number when the run numbers its boards,
// and the options every board is written with. Its numbering is opened
// before any port, so that a mistake stops the run before a board hears a
// byte; a number is taken only as a board's write begins. Not movable: the
// options point into it.
class PreparedRun {
public:
    // `shown`: the program file as messages show it; `loaderShown` the
    // loader's. `input` is the run's, read.
    [[nodiscard]] static std::expected<std::unique_ptr<PreparedRun>, RunSetupError>
    Prepare(const QString &shown, const QString &loaderShown, const WriteInput &input, const std::optional<JobInUse> &job,
            const std::optional<JobNumbering> &numbering, WriteOptions write);
    PreparedRun(const PreparedRun &) = delete;
    PreparedRun &operator=(const PreparedRun &) = delete;

    const RecordedProgram &Program() const { return program_; }
    const WriteOptions &Write() const { return write_; }
    const BoardNumbering *Numbering() const { return numbering_ ? &*numbering_ : nullptr; }

private:
    PreparedRun() = default;

    RecordedProgram program_;
    WriteOptions write_;
    std::optional<BoardNumbering> numbering_;
    std::optional<NumberedInput> numbered_;
};

}  // namespace qw735
