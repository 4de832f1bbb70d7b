// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/OutputSink.h"

#include <QString>
#include <memory>
#include <string>
#include <string_view>

namespace qw735 {

// Everything qw735-write shows goes out here, on stdout or stderr.
//
// A console made without sinks writes each piece at once, stdout flushed
// after it: usage mistakes, --info, --list-ports and whatever is said before
// a write opens its outputs come out in the order said, also when both
// streams go to one place (2>&1). A console made with a write's sinks puts
// its text there, so that no board ever waits for a reader; the run decides
// when each stream has caught up.
//
// A reader that went away makes a write to it fail, which is kept (stdout)
// or let go (stderr); whether that ends the process is the caller's choice
// of SIGPIPE handling, never the console's.
class Console {
public:
    enum class Stream { Out, Err };
    using Kind = OutputSink::Kind;

    // Writes at once to the process's stdout and stderr.
    Console() = default;
    // Writes through `out` and `err`.
    Console(std::shared_ptr<OutputSink> out, std::shared_ptr<OutputSink> err);

    // `text` as it stands, its line ends included. Progress may be dropped
    // by a sink that cannot keep up; final text never is.
    void Put(Stream stream, std::string text, Kind kind = Kind::Final) const;
    // One line; the line end is added.
    void Line(Stream stream, const QString &line) const;
    // One line on stdout.
    void Out(const QString &line) const { Line(Stream::Out, line); }
    // One line on stderr after the program's name ("qw735-write: TEXT").
    void Tell(const QString &text) const;
    // The same for bytes as they are (a system's or a library's words), with
    // `more` after them. Without sinks it takes no memory, so it can still
    // say that memory ran out.
    void TellBytes(std::string_view text, std::string_view more = {}) const;

    // For a run whose output on stdout is what the user asked for (--info,
    // --list-ports, --help, --version): `status`, or, when stdout did not
    // take all of it (a full disk, /dev/full), ExitOutputLost and a line on
    // stderr that says so. A failing run keeps its own status.
    static int StdoutStatus(int status);

private:
    std::shared_ptr<OutputSink> out_;
    std::shared_ptr<OutputSink> err_;
};

// In a catch block: says on stderr why the writer failed, and `more` after
// it. Only fixed texts: memory may have run out.
void ReportFailure(std::string_view more);

}  // namespace qw735
