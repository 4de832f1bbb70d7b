// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/HostFixture.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <sys/resource.h>

namespace qw735::test {

HostSide::HostSide(sim::BoardScript script) : board(std::make_unique<sim::TargetSim>(std::move(script)))
{
    port.SelectDevice(QString::fromStdString(board->SlavePath()));
}

HostSide::~HostSide()
{
    port.Close();
}

sim::BoardScript Script(const std::function<void(sim::BoardScript &)> &change)
{
    sim::BoardScript script;
    change(script);
    return script;
}

bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

std::chrono::microseconds ProcessCpuTime()
{
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval &t) { return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec); };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace qw735::test
