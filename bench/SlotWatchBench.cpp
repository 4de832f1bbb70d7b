// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-bench-slots [CYCLES] [SETTLE_MS]: the time from a board plugged to
// the first sync byte it hears, less the settle time, in the automatic run.
//
// A thread of its own plays udev: it links K simulated boards'
// pseudo-terminals into a by-path folder of a temporary directory, each
// under a dotted temporary name renamed into place, all K in a row (a
// hub's boards plugged together), and notes when each rename was made. The
// automatic run (watcher, slots' cycles, a board's thread per write) runs
// in the main thread's event loop, as qw735-write --auto has it, and writes
// a small program into each board; the board notes when each byte came.
// Once every board is written the thread removes the links, waits until
// every slot is empty, and plugs again. For 1 and 8 slots, CYCLES rounds
// each (default 100), at the default settle time unless SETTLE_MS:
//   slots 8  plugs 800  settle 500 ms  first sync byte - settle: median 1.10 ms  p90 2.30 ms  max 9.80 ms

#include "production/AutoRun.h"
#include "sim/TargetSim.h"
#include "writer/WriteInput.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace qw735;
using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * static_cast<double>(values.size())))];
}

QString WriteFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        std::exit(1);
    return file.fileName();
}

// One configuration: `count` slots plugged together, `cycles` times.
void Measure(QCoreApplication &app, int count, int cycles, std::chrono::milliseconds settle)
{
    QTemporaryDir root;
    const QDir dir(root.path());
    dir.mkpath(QStringLiteral("by-path"));
    const PathName program(QFile::encodeName(WriteFile(root, QStringLiteral("p.mot"), "S1130000000102030405060708090A0B0C0D0E0F74\n")));
    const PathName loader(QFile::encodeName(WriteFile(root, QStringLiteral("tqw735.bin"), QByteArray(16, '\x5A'))));
    const auto input = ReadWriteInput(program, loader, InputReader::Uninterruptible);
    if (!input)
        std::exit(1);
    std::vector<std::unique_ptr<sim::TargetSim>> boards;
    QStringList texts;
    sim::BoardScript script;
    script.keepServing = true;
    for (int k = 0; k < count; ++k) {
        boards.push_back(std::make_unique<sim::TargetSim>(script));
        texts << dir.filePath(QStringLiteral("by-path/usb-0:1.%1").arg(k + 1));
    }
    AutoRun run(*ParseSlots(texts), AutoSettings{.watch = {.settle = settle}}, std::nullopt, *input, WriteOptions{});

    std::mutex mutex;
    std::condition_variable changed;
    int ended = 0;
    int gone = 0;
    int failed = 0;
    QObject::connect(&run, &AutoRun::BoardEnded, [&](int, const BoardOutcome &outcome) {
        const std::lock_guard lock(mutex);
        failed += outcome.result.outcome != WriteOutcome::Ok;
        ++ended;
        changed.notify_all();
    });
    QObject::connect(&run.Watcher(), &DeviceWatcher::Gone, [&] {
        const std::lock_guard lock(mutex);
        ++gone;
        changed.notify_all();
    });
    if (const auto started = run.Start(); !started) {
        std::fprintf(stderr, "qw735-bench-slots: %s\n", qPrintable(started.error().text));
        std::exit(1);
    }

    std::vector<double> latencies;
    std::thread udev([&] {
        std::vector<Clock::time_point> plugged(static_cast<std::size_t>(count));
        std::vector<std::size_t> before(static_cast<std::size_t>(count));
        for (int cycle = 0; cycle < cycles; ++cycle) {
            for (int k = 0; k < count; ++k) {
                const auto at = static_cast<std::size_t>(k);
                before[at] = boards[at]->Received().size();
                const QByteArray temporary = QFile::encodeName(dir.filePath(QStringLiteral("by-path/.#usb-0:1.%1").arg(k + 1)));
                ::symlink(boards[at]->SlavePath().c_str(), temporary.constData());
                plugged[at] = Clock::now();
                ::rename(temporary.constData(), QFile::encodeName(texts[k]).constData());
            }
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return ended == (cycle + 1) * count; });
            lock.unlock();
            for (int k = 0; k < count; ++k) {
                const auto at = static_cast<std::size_t>(k);
                const auto received = boards[at]->Received();
                if (received.size() > before[at])
                    latencies.push_back(std::chrono::duration<double, std::milli>(received[before[at]].at - plugged[at] - settle).count());
                ::unlink(QFile::encodeName(texts[k]).constData());
            }
            lock.lock();
            changed.wait(lock, [&] { return gone == (cycle + 1) * count; });
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    udev.join();
    std::printf("slots %d  plugs %d  settle %lld ms  first sync byte - settle: median %.2f ms  p90 %.2f ms  max %.2f ms  "
                "writes not O.K. %d\n",
                count, cycles * count, static_cast<long long>(settle.count()), Percentile(latencies, 0.5), Percentile(latencies, 0.9),
                Percentile(latencies, 1.0), failed);
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
