// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-bench-slots [CYCLES] [SETTLE_MS]: the device watcher's own part of
// the time from a board plugged to its first sync byte: from the moment a
// device's link appears to the watcher's "ready", less the settle time.
//
// A thread of its own plays udev: it makes K links (to files that stand for
// the devices' nodes) in a by-path folder of a temporary directory, each
// under a dotted temporary name renamed into place, all K in a row (a
// hub's boards plugged together), and notes when each rename was made. The
// watcher runs in the main thread's event loop, as it will in the automatic
// run, and notes when each "ready" came. The thread then removes the links,
// waits for every "gone", and plugs again. For 1 and 8 slots, CYCLES
// rounds each (default 100), the default settle time unless SETTLE_MS:
//   slots 8  plugs 800  settle 500 ms  ready - settle: median 0.41 ms  p90 0.62 ms  max 1.90 ms  watcher CPU 52 us a plug

#include "slot/DeviceWatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace qw735;
using Clock = std::chrono::steady_clock;

std::chrono::microseconds ThreadCpuTime()
{
    rusage usage {};
    ::getrusage(RUSAGE_THREAD, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

double Percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * static_cast<double>(values.size())))];
}

// One configuration: `count` slots plugged together, `cycles` times.
void Measure(QCoreApplication &app, int count, int cycles, std::chrono::milliseconds settle)
{
    QTemporaryDir root;
    const QDir dir(root.path());
    dir.mkpath(QStringLiteral("by-path"));
    dir.mkpath(QStringLiteral("nodes"));
    QStringList texts;
    for (int k = 0; k < count; ++k) {
        QFile node(dir.filePath(QStringLiteral("nodes/ttyUSB%1").arg(k)));
        node.open(QIODevice::WriteOnly);
        texts << dir.filePath(QStringLiteral("by-path/usb-0:1.%1").arg(k + 1));
    }
    DeviceWatcher watcher(*ParseSlots(texts), WatchSettings{.settle = settle});

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Clock::time_point> plugged(static_cast<std::size_t>(count));
    std::vector<double> latencies;
    int ready = 0;
    int gone = 0;
    QObject::connect(&watcher, &DeviceWatcher::Ready, [&](int slot, const SlotDevice &) {
        const auto now = Clock::now();
        const std::lock_guard lock(mutex);
        latencies.push_back(std::chrono::duration<double, std::milli>(now - plugged[static_cast<std::size_t>(slot)] - settle).count());
        ++ready;
        changed.notify_all();
    });
    QObject::connect(&watcher, &DeviceWatcher::Gone, [&](int, const SlotDevice &) {
        const std::lock_guard lock(mutex);
        ++gone;
        changed.notify_all();
    });
    if (const auto started = watcher.Start(); !started) {
        std::fprintf(stderr, "qw735-bench-slots: %s\n", qPrintable(started.error().text));
        std::exit(1);
    }

    std::thread udev([&] {
        for (int cycle = 0; cycle < cycles; ++cycle) {
            for (int k = 0; k < count; ++k) {
                const QByteArray link = QFile::encodeName(texts[k]);
                const QByteArray temporary = QFile::encodeName(dir.filePath(QStringLiteral("by-path/.#usb-0:1.%1").arg(k + 1)));
                ::symlink(QFile::encodeName(dir.filePath(QStringLiteral("nodes/ttyUSB%1").arg(k))).constData(), temporary.constData());
                {
                    const std::lock_guard lock(mutex);
                    plugged[static_cast<std::size_t>(k)] = Clock::now();
                }
                ::rename(temporary.constData(), link.constData());
            }
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return ready == (cycle + 1) * count; });
            lock.unlock();
            for (int k = 0; k < count; ++k)
                ::unlink(QFile::encodeName(texts[k]).constData());
            lock.lock();
            changed.wait(lock, [&] { return gone == (cycle + 1) * count; });
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    const auto cpuBefore = ThreadCpuTime();
    app.exec();
    const auto cpu = ThreadCpuTime() - cpuBefore;
    udev.join();
    std::printf("slots %d  plugs %zu  settle %lld ms  ready - settle: median %.2f ms  p90 %.2f ms  max %.2f ms  "
                "watcher CPU %.0f us a plug\n",
                count, latencies.size(), static_cast<long long>(settle.count()), Percentile(latencies, 0.5),
                Percentile(latencies, 0.9), Percentile(latencies, 1.0),
                static_cast<double>(cpu.count()) / static_cast<double>(latencies.size()));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 100;
    const auto settle = argc > 2 ? std::chrono::milliseconds(std::atoi(argv[2])) : DefaultSettle;
    if (cycles < 1 || settle.count() < 0) {
        std::fprintf(stderr, "usage: qw735-bench-slots [CYCLES] [SETTLE_MS]\n");
        return 64;
    }
    for (const int count : {1, 8})
        Measure(app, count, cycles, settle);
    return 0;
}
