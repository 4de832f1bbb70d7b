// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Plain C++: the job reader is fuzzed without Qt.

#include "numbering/SerialField.h"
#include "numbering/SerialSource.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qw735 {

// How a job numbers its boards.
struct JobNumbering {
    SerialField field;
    SerialSourceText source;
    bool operator==(const JobNumbering &) const = default;
};

// What a station writes, fixed in a job file so that nobody can write the
// wrong file or the wrong settings. Paths are as the job file has them:
// relative to the job file's folder unless absolute (JobPathFrom resolves
// them). Hashes are SHA-256 in lower-case hex.
struct Job {
    std::string program;
    std::string programSha256;
    std::optional<std::uint64_t> binaryAt;  // read the program as raw bytes for this address on
    bool ignoreChecksums = false;
    std::string loader;  // empty: the loader a write finds in the data directories
    std::string loaderSha256;
    std::optional<int> loaderStartMs;
    // The boot entry and release sequences and the sync retries, as given:
    // their language is the board run's.
    std::optional<std::string> bootEntry;
    std::optional<std::string> release;
    std::optional<int> syncRetries;
    std::optional<JobNumbering> numbering;
    std::string report;              // empty: none; "-" or a URL are kept as they are
    std::vector<std::string> ports;  // a gang write's ports
    std::vector<std::string> autoSlots;  // or the slots of the automatic mode ("slots" is a word of Qt's)
    bool operator==(const Job &) const = default;
};

// Why a job file cannot be used. The kind says what a front end does (a
// usage mistake, or a file that changed after its job was made); line and
// key say where, the detail what.
struct JobError {
    enum class Kind {
        CannotRead,   // detail: the operating system's reason
        CannotWrite,  // detail: the operating system's reason
        NotToml,      // a TOML syntax error; detail: the parser's description
        UnknownKey,   // a key a job does not have
        WrongType,    // a value of another type than its key takes
        Missing,      // a key a job must have
        BadValue,     // a value of the right type that its key does not take
        Conflict,     // keys that do not go together
        Changed,      // a file whose SHA-256 is not the job's
    };
    Kind kind;
    long line = 0;    // 1-based; 0 when the fault is not on one line
    std::string key;  // dotted ("numbering.format"); may be empty
    std::string detail;
};

// One line for the user, naming the job file as `file`:
//   "Job file line3.toml, line 7: numbering.adress: unknown key; [numbering] takes address, format, source and over_data"
//   "Job file line3.toml, line 3: loader_start_ms: an integer is needed, not a string"
//   "Job file line3.toml: program: missing; a job names the program file it writes"
//   "Job file line3.toml, line 4: not TOML: ..."
//   "Cannot read job file line3.toml: No such file or directory"
std::string DescribeJobError(const JobError &error, std::string_view file);

// Reads a job from the text of a job file.
[[nodiscard]] std::expected<Job, JobError> ParseJob(std::string_view text);

// The text of a job file that ParseJob reads back as `job`. Error kind
// BadValue for a text that is not UTF-8 (as every TOML file is).
[[nodiscard]] std::expected<std::string, JobError> JobText(const Job &job);

// A path as a job file at `jobFile` has it, resolved: relative to the job
// file's folder unless absolute.
std::string JobPathFrom(std::string_view jobFile, std::string_view stored);
// The other way: `path` as given (relative to the current folder unless
// absolute) as a job file at `jobFile` keeps it. A relative path stays
// relative, now to the job file's folder, so that a job moves with its
// files; an absolute one stays as it is.
std::string JobPathFor(std::string_view jobFile, std::string_view path);

// Whether a report destination names a file (not "-" for stdout, nor a URL).
bool ReportIsFile(std::string_view report);

// `job` with every path in it resolved with JobPathFrom: the program, the
// loader, the report file and the numbering source's file.
Job JobResolved(const Job &job, std::string_view jobFile);
// `job`, whose paths are as given, with every path as JobPathFor keeps it.
Job JobKept(const Job &job, std::string_view jobFile);

}  // namespace qw735
