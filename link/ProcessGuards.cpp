// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/ProcessGuards.h"

#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <sys/resource.h>
#include <vector>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace qw735 {

namespace {

constexpr std::array EndingSignalNumbers = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// The handler only records the signal and wakes the event loop through the
// pipe; everything else happens there.
volatile std::sig_atomic_t caughtSignal = 0;
int wakePipe[2] = {-1, -1};
struct sigaction previous[EndingSignalNumbers.size()];

void OnEndingSignal(int signal)
{
    const int savedErrno = errno;
    if (caughtSignal == 0)
        caughtSignal = signal;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const auto written = ::write(wakePipe[1], &byte, 1);
    errno = savedErrno;
}

rlim_t SoftDescriptorLimit()
{
    rlimit limit {};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
}

}  // namespace

bool HasFreeDescriptors(int count)
{
    // Taking them is the only answer that holds for the system's table too.
    std::vector<int> taken;
    bool exhausted = false;
    for (int i = 0; i < count && !exhausted; ++i) {
        const int fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        // Only a full table says no; a closed stderr tells nothing.
        exhausted = fd < 0 && (errno == EMFILE || errno == ENFILE);
        if (fd >= 0)
            taken.push_back(fd);
    }
    for (const int fd : taken)
        ::close(fd);
    return !exhausted;
}

QString DescriptorShortage()
{
    const rlim_t limit = SoftDescriptorLimit();
    if (limit == RLIM_INFINITY)
        return QStringLiteral("too many open files on this system");
    return QStringLiteral("too many open files (this process may open %1: ulimit -n)").arg(static_cast<qulonglong>(limit));
}

std::expected<void, QString> RaiseDescriptorLimit(int needed)
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= static_cast<rlim_t>(needed))
        return {};
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(needed) : std::min<rlim_t>(limit.rlim_max, needed);
    if (raised.rlim_cur >= static_cast<rlim_t>(needed) && ::setrlimit(RLIMIT_NOFILE, &raised) == 0)
        return {};
    return std::unexpected(QStringLiteral("this write needs %1 file descriptors, but this process may open only %2 (ulimit -n %2); "
                                          "raise the limit (ulimit -n %1) or write fewer boards at once")
                               .arg(needed)
                               .arg(static_cast<qulonglong>(limit.rlim_max == RLIM_INFINITY ? limit.rlim_cur : limit.rlim_max)));
}

bool OpenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is this one: those below are valid by now.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0)
                ::close(opened);
            return false;
        }
    }
    return true;
}

EndingSignals::EndingSignals(QObject *parent) : QObject(parent)
{
    caughtSignal = 0;
    // Without the pipe the signals keep their default: better a process
    // that dies than one that ignores being told to end.
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe[0] = wakePipe[1] = -1;
        return;
    }
    notifier_ = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
        }
        emit Received(caughtSignal);
    });
    struct sigaction action {};
    action.sa_handler = OnEndingSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < EndingSignalNumbers.size(); ++i) {
        // A signal the program was started ignoring stays ignored: nohup
        // ignores SIGHUP, a shell without job control SIGINT and SIGQUIT for
        // what it runs in the background.
        ::sigaction(EndingSignalNumbers[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN)
            ::sigaction(EndingSignalNumbers[i], &action, nullptr);
    }
}

EndingSignals::~EndingSignals()
{
    if (notifier_) {
        for (std::size_t i = 0; i < EndingSignalNumbers.size(); ++i)
            ::sigaction(EndingSignalNumbers[i], &previous[i], nullptr);
    }
    delete notifier_;
    for (int &fd : wakePipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

int EndingSignals::Caught() const
{
    return caughtSignal;
}

const char *EndingSignals::Name(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGQUIT: return "SIGQUIT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

void EndingSignals::EndBy(int signal)
{
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    // Not reached for the signals caught here, whose default ends the process.
    ::_exit(128 + signal);
}

}  // namespace qw735
