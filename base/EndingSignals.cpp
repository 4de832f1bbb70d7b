// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/EndingSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cassert>
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
bool living = false;  // one guard at a time: the handler and its pipe are the process's
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

}  // namespace

EndingSignals::EndingSignals(QObject *parent) : QObject(parent)
{
    assert(!living);
    living = true;
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
    living = false;
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
