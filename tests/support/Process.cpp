// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/Process.h"

#include "tests/support/HostFixture.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace qw735::test {

namespace {

// Everything `fd` gives until its end.
QByteArray ReadToEnd(int fd)
{
    QByteArray all;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        all.append(buffer, got);
    return all;
}

}  // namespace

Process::Process(const QList<QByteArray> &command, Stdio stdio, const QString &cwd) : program_(command.value(0))
{
    const QByteArray out = QFile::encodeName(files_.filePath(QStringLiteral("out")));
    const QByteArray err = QFile::encodeName(files_.filePath(QStringLiteral("err")));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const auto open = [&](int fd, const char *path, int flags) { posix_spawn_file_actions_addopen(&actions, fd, path, flags, 0600); };
    int pipeEnds[2] = {-1, -1};
    if (stdio != Stdio::AllClosed)
        open(0, "/dev/null", O_RDONLY);
    if (stdio == Stdio::Files || stdio == Stdio::Terminal || stdio == Stdio::StalledStderr)
        open(1, out.constData(), O_WRONLY | O_CREAT | O_TRUNC);
    if (stdio == Stdio::Files || stdio == Stdio::StalledPipe)
        open(2, err.constData(), O_WRONLY | O_CREAT | O_TRUNC);
    switch (stdio) {
    case Stdio::Files: break;
    case Stdio::AllClosed:
        for (int fd : {0, 1, 2})
            posix_spawn_file_actions_addclose(&actions, fd);
        break;
    case Stdio::BrokenPipe:
        EXPECT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
        ::close(pipeEnds[0]);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
        break;
    case Stdio::Terminal: {
        const winsize size{24, 60, 0, 0};
        EXPECT_EQ(::openpty(&terminal_, &pipeEnds[1], nullptr, nullptr, &size), 0);  // the slave, closed once the child has it
        ::fcntl(terminal_, F_SETFD, FD_CLOEXEC);
        ::fcntl(pipeEnds[1], F_SETFD, FD_CLOEXEC);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
        // Drained as it comes, so that the child never waits for it.
        screen_ = std::async(std::launch::async, [fd = terminal_] { return ReadToEnd(fd); });
        break;
    }
    case Stdio::StalledPipe:
    case Stdio::StalledStderr:
        EXPECT_EQ(::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK), 0);
        for (const QByteArray filler(4096, '.'); ::write(pipeEnds[1], filler.constData(), filler.size()) > 0;) {
        }
        // Full; the child's own writes must block, not fail.
        ::fcntl(pipeEnds[0], F_SETFL, 0);
        ::fcntl(pipeEnds[1], F_SETFL, 0);
        stalled_ = pipeEnds[0];
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], stdio == Stdio::StalledPipe ? 1 : 2);
        break;
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const QByteArray dir = QFile::encodeName(cwd);
    if (!cwd.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    std::vector<char *> argv;
    for (const QByteArray &arg : command)
        argv.push_back(const_cast<char *>(arg.constData()));
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (pipeEnds[1] >= 0)
        ::close(pipeEnds[1]);
}

Process::~Process()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (stalled_ >= 0)
        ::close(stalled_);
    if (screen_.valid())
        screen_.wait();
    if (terminal_ >= 0)
        ::close(terminal_);
}

QByteArray Process::DrainStalledPipe()
{
    return ReadToEnd(stalled_);
}

ProcessRun Process::Wait(std::chrono::milliseconds limit)
{
    ProcessRun run;
    int status = 0;
    rusage usage {};
    for (const auto start = std::chrono::steady_clock::now(); ::wait4(pid_, &status, WNOHANG, &usage) == 0;) {
        if (std::chrono::steady_clock::now() - start > limit) {
            ADD_FAILURE() << program_.toStdString() << " did not end within " << limit.count() << " ms";
            return run;
        }
        QEventLoop loop;
        QTimer::singleShot(std::chrono::milliseconds(10), &loop, &QEventLoop::quit);
        loop.exec();
    }
    pid_ = -1;
    run.maxRssKiB = usage.ru_maxrss;
    if (WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    run.out = QString::fromUtf8(ReadFile(files_.filePath(QStringLiteral("out"))));
    run.err = QString::fromUtf8(screen_.valid() ? screen_.get() : ReadFile(files_.filePath(QStringLiteral("err"))));
    return run;
}

QList<QByteArray> Args(const QStringList &args)
{
    QList<QByteArray> bytes;
    for (const QString &arg : args)
        bytes << QFile::encodeName(arg);
    return bytes;
}

ProcessRun RunProcess(const QStringList &command, const QString &cwd)
{
    return Process(Args(command), Stdio::Files, cwd).Wait();
}

}  // namespace qw735::test
