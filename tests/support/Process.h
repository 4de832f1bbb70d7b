// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <future>
#include <sys/types.h>

namespace qw735::test {

// How a child's standard descriptors are handed over.
enum class Stdio {
    Files,       // stdin /dev/null; stdout and stderr captured
    AllClosed,   // 0, 1 and 2 closed, as a careless service manager may start it
    BrokenPipe,  // stdout and stderr into a pipe nobody reads any more
    StalledPipe, // stdout into a full pipe its reader does not drain for now
    StalledStderr, // stderr into a full pipe nobody ever reads; stdout captured
    Terminal,    // stderr a terminal 60 columns wide; stdout captured
};

struct ProcessRun {
    int status = -1;  // the exit status; -1 when a signal ended the child
    int signal = 0;   // that signal
    long maxRssKiB = 0;  // the child's peak resident memory
    QString out;
    QString err;
    QString LastLine() const { return out.split(u'\n', Qt::SkipEmptyParts).value(out.count(u'\n') - 1); }
};

// One child process, found on PATH, with the signals this test process may
// have been started ignoring back at their defaults. The command is bytes,
// as a shell passes them: a file name need not be valid UTF-8. A command
// under another (prlimit with its limits, env with a variable) comes first.
class Process {
public:
    explicit Process(const QList<QByteArray> &command, Stdio stdio = Stdio::Files, const QString &cwd = {});
    // Kills the child if it still runs.
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t Pid() const { return pid_; }

    // With a stalled stdout: everything in the pipe, once the child ended.
    QByteArray DrainStalledPipe();

    // Waits for the end (a minute at most) and collects what it printed.
    // Events are served meanwhile, for a server of the test's own.
    ProcessRun Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));

private:
    QTemporaryDir files_;
    QByteArray program_;
    pid_t pid_ = -1;
    int stalled_ = -1;  // the read end of a stalled stdout
    int terminal_ = -1;  // the terminal's master side
    std::future<QByteArray> screen_;  // what the terminal showed
};

// Names as the command line takes them: the file system's bytes.
QList<QByteArray> Args(const QStringList &args);

// Runs `command` with its output captured and returns how it ended.
ProcessRun RunProcess(const QStringList &command, const QString &cwd = {});

}  // namespace qw735::test
