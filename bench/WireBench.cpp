// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-bench-wire: writes a 128 KiB and a 4 KiB image with a 2 KiB loader
// through the simulated board, which takes as long as a real cable at the
// baud rates the host sets, and compares the elapsed time with the time the
// wire itself needs for exactly the bytes exchanged. Also prints what a USB
// adapter's latency timer would add, from the number of awaited replies.
//
//   qw735-bench-wire [--no-wire-time] [KIB...]
//                                  image sizes in KiB (default: 128 4); the
//                                  board answers at once with --no-wire-time
//   qw735-bench-wire --echo N      median round trip of one echoed byte
//                                  through the link, over N bytes
//   qw735-bench-wire --echo-wire N the same at 9600 baud with wire time
//   qw735-bench-wire --echo-wire-raw N
//                                  the same with a bare poll() loop instead of
//                                  the link: the floor this machine allows
//   qw735-bench-wire --idle-wait   CPU time of a 3 s reply wait that times out
//   qw735-bench-wire --gang        a 64 KiB image into 1, 8 and 32 boards at
//                                  once, with wire time: elapsed time against
//                                  one board's, and the writer's CPU

#include "link/EventPump.h"
#include "link/Link.h"
#include "link/PortSettings.h"
#include "link/SerialPort.h"
#include "sim/TargetSim.h"
#include "writer/Feedback.h"
#include "writer/FileSystem.h"
#include "writer/GangWrite.h"
#include "writer/WriteTarget.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace qw735;

constexpr int LoaderBytes = 2048;
constexpr double PausesS = 3 * 0.010;  // after each of the loader's two size bytes, and for the loader to start

double ThreadCpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void PrintRoundTrips(const char *what, std::vector<double> micros)
{
    std::sort(micros.begin(), micros.end());
    std::printf("%s %zu  median %.1f us  p90 %.1f us  p99 %.1f us\n", what, micros.size(), micros[micros.size() / 2],
                micros[micros.size() * 9 / 10], micros[micros.size() * 99 / 100]);
}

struct Capture : MessageBox {
    QString text;
    void Show(const QString &message) override { text = message; }
};

QString WriteProgram(const QTemporaryDir &dir, int bytes, std::mt19937 &random)
{
    QByteArray mot;
    for (int address = 0; address < bytes; address += 32) {
        QByteArray line = QByteArray("S224") + QByteArray::number(address, 16).rightJustified(6, '0').toUpper();
        for (int i = 0; i < 32; ++i)
            line += QByteArray::number(random() & 0xFF, 16).rightJustified(2, '0').toUpper();
        mot += line + "00\r\n";
    }
    const QString path = dir.filePath(QStringLiteral("image%1.mot").arg(bytes));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(mot);
    return path;
}

// The host side of a measurement, on the board's pseudo-terminal.
struct Host {
    explicit Host(const sim::TargetSim &board) { port.SelectDevice(QString::fromStdString(board.SlavePath())); }
    void Open()
    {
        if (!port.Open()) {
            std::fprintf(stderr, "cannot open the board's port\n");
            std::exit(1);
        }
    }
    SerialPort port;
    QtEventPump pump;
    Link link{port, pump};
};

void Run(int kib, bool wireTime, const QString &loaderPath, const QTemporaryDir &dir, std::mt19937 &random)
{
    const QString mot = WriteProgram(dir, kib * 1024, random);
    sim::BoardScript script;
    script.modelWireTime = wireTime;
    sim::TargetSim board(script);

    Host host(board);
    const FileSystem fileSystem = FileSystem::WithLoaderFile(loaderPath);
    NoProgress progress;
    Capture message;

    const double cpuStart = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    host.Open();
    WriteTarget({host.link, fileSystem, progress, message, mot});
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = ThreadCpuSeconds() - cpuStart;
    host.port.Close();

    // Bytes on each line at each speed, as the board counted them.
    std::size_t hostSlow = 0, hostFast = 0;
    for (const sim::ReceivedByte &byte : board.Received()) {
        const bool boot = byte.phase <= sim::Phase::LoaderBody;
        (boot ? hostSlow : hostFast) += 1;
    }
    const sim::WriteRecord write = board.LastWrite();
    const std::size_t blocks = write.imageSize / 64;
    const std::size_t boardSlow = 1 + 1 + write.loader.size() + 1;  // sync answer, 0xAA, echoes, end mark
    const std::size_t boardFast = 1 + blocks + 1 + 1;               // command reply, requests, checksum request, final reply
    const double wire = static_cast<double>(hostSlow + boardSlow) * 10.0 / 9600 + static_cast<double>(hostFast + boardFast) * 10.0 / 38400 + PausesS;
    const std::size_t replies = 2 + write.loader.size() + 1 + 1 + blocks + 1 + 1;

    std::printf("| %3d KiB | %d B | %s | %8.3f | %8.3f | %6.4f | %6.3f | %5.2f%% | %zu | +%.1f s (+%.0f%%) | +%.1f s (+%.0f%%) |\n", kib,
                LoaderBytes, message.text.toUtf8().constData(), elapsed, wire, elapsed / wire, cpu, 100.0 * cpu / elapsed,
                replies, replies * 0.016, 100.0 * replies * 0.016 / wire, replies * 0.001, 100.0 * replies * 0.001 / wire);
    std::fflush(stdout);
}

// One byte out, its echo back, through the link's own reply wait: the
// latency every loader byte and every block pays on top of the wire.
int EchoRoundTrips(int count, bool wireTime)
{
    sim::BoardScript script;
    script.echoOnly = true;
    script.modelWireTime = wireTime;
    sim::TargetSim board(script);
    Host host(board);
    host.Open();
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        const auto value = static_cast<std::uint8_t>(i);
        const auto start = std::chrono::steady_clock::now();
        host.link.SendByte(value);
        if (host.link.WaitForByte(value) != ReplyResult::Expected)
            return 1;
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    PrintRoundTrips("echo round trips", std::move(micros));
    return 0;
}

// The same echo without Qt or the link: write, poll, read on a raw line.
int RawEchoRoundTrips(int count)
{
    sim::BoardScript script;
    script.echoOnly = true;
    script.modelWireTime = true;
    sim::TargetSim board(script);
    const int fd = ::open(board.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B9600);
    ::tcsetattr(fd, TCSANOW, &tio);
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        std::uint8_t value = static_cast<std::uint8_t>(i), echo = 0;
        const auto start = std::chrono::steady_clock::now();
        pollfd wait{fd, POLLIN, 0};
        if (::write(fd, &value, 1) != 1 || ::poll(&wait, 1, 3000) != 1 || ::read(fd, &echo, 1) != 1 || echo != value)
            return 1;
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    ::close(fd);
    PrintRoundTrips("raw echo round trips", std::move(micros));
    return 0;
}

// A reply wait with nothing arriving must sleep, not spin.
int IdleWait()
{
    sim::TargetSim board;
    Host host(board);
    host.Open();
    const double cpuStart = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const ReplyResult result = host.link.WaitForByte(0x06);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("idle wait %s after %.3f s, CPU %.3f ms (%.4f%%)\n", result == ReplyResult::NoReply ? "timed out" : "ended",
                elapsed, (ThreadCpuSeconds() - cpuStart) * 1000, 100 * (ThreadCpuSeconds() - cpuStart) / elapsed);
    return 0;
}

// The same image into 1, 8 and 32 boards at once, each board keeping a
// cable's time. The boards sleep rather than spin between bytes, so that 32
// of them leave the machine's two cores to the writer. Writer CPU is the
// board threads' own time plus the main thread's, which takes the progress.
int Gang(const QString &loaderPath, const QTemporaryDir &dir, std::mt19937 &random)
{
    constexpr int ImageKib = 64;
    const QString mot = WriteProgram(dir, ImageKib * 1024, random);
    const FileSystem fileSystem = FileSystem::WithLoaderFile(loaderPath);
    std::printf("| boards | image | loader | O.K. | elapsed s | vs one board | last loader done s | image after it s | writer CPU s | "
                "writer CPU share of one core |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    double single = 0;
    for (const int count : {1, 8, 32}) {
        sim::BoardScript script;
        script.modelWireTime = true;
        script.lightWireTime = true;
        std::vector<std::unique_ptr<sim::TargetSim>> boards;
        QStringList ports;
        for (int i = 0; i < count; ++i) {
            boards.push_back(std::make_unique<sim::TargetSim>(script));
            ports << QString::fromStdString(boards.back()->SlavePath());
        }
        std::mutex mutex;
        double boardCpu = 0;
        std::chrono::steady_clock::time_point start;
        GangWrite gang(ports, [&](Link &link, ProgressDisplay &progress, MessageBox &message) {
            const WriteResult result = WriteTarget({link, fileSystem, progress, message, mot});
            std::lock_guard lock(mutex);
            boardCpu += ThreadCpuSeconds();
            return result;
        });
        // A front end's share: every progress report crosses to this thread.
        // The second maximum of a board starts its image, after the loader.
        std::vector<int> maximums(static_cast<std::size_t>(count));
        std::vector<double> loaderEnds(static_cast<std::size_t>(count));
        QObject::connect(&gang, &GangWrite::ValueSet, [](int, float) {});
        QObject::connect(&gang, &GangWrite::MaximumSet, [&](int board, float) {
            if (++maximums[static_cast<std::size_t>(board)] == 2)
                loaderEnds[static_cast<std::size_t>(board)] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
        QEventLoop loop;
        QObject::connect(&gang, &GangWrite::AllEnded, &loop, &QEventLoop::quit);

        const double mainCpuStart = ThreadCpuSeconds();
        start = std::chrono::steady_clock::now();
        gang.Start();
        loop.exec();
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = boardCpu + ThreadCpuSeconds() - mainCpuStart;
        int ok = 0;
        for (int i = 0; i < count; ++i)
            ok += gang.Outcome(i).result.outcome == WriteOutcome::Ok;
        if (count == 1)
            single = elapsed;
        const double loaderEnd = *std::max_element(loaderEnds.begin(), loaderEnds.end());
        std::printf("| %d | %d KiB | %d B | %d of %d | %.3f | %.3f | %.3f | %.3f | %.3f | %.2f%% |\n", count, ImageKib, LoaderBytes,
                    ok, count, elapsed, elapsed / single, loaderEnd, elapsed - loaderEnd, cpu, 100.0 * cpu / elapsed);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 2 && std::string(argv[1]) == "--idle-wait")
        return IdleWait();
    if (argc == 3 && std::string(argv[1]) == "--echo")
        return EchoRoundTrips(std::atoi(argv[2]), false);
    if (argc == 3 && std::string(argv[1]) == "--echo-wire-raw")
        return RawEchoRoundTrips(std::atoi(argv[2]));
    if (argc == 3 && std::string(argv[1]) == "--echo-wire")
        return EchoRoundTrips(std::atoi(argv[2]), true);
    QList<int> sizes;
    bool wireTime = true;
    bool gang = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--no-wire-time")
            wireTime = false;
        else if (std::string(argv[i]) == "--gang")
            gang = true;
        else if (const int kib = std::atoi(argv[i]); kib > 0 && kib <= 128)
            sizes << kib;
        else {
            std::fprintf(stderr, "qw735-bench-wire: %s is no image size in KiB (1..128)\n", argv[i]);
            return 64;
        }
    }
    if (sizes.isEmpty())
        sizes = {128, 4};

    QTemporaryDir dir;
    std::mt19937 random(735);
    QByteArray loader(LoaderBytes, 0);
    for (char &byte : loader)
        byte = static_cast<char>(random());
    const QString loaderPath = dir.filePath(QStringLiteral("tqw735.bin"));
    QFile file(loaderPath);
    file.open(QIODevice::WriteOnly);
    file.write(loader);
    file.close();

    if (gang)
        return Gang(loaderPath, dir, random);

    std::printf("| image | loader | result | elapsed s | wire s | ratio | host CPU s | CPU share | awaited replies | 16 ms latency (worst) | 1 ms latency (worst) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (int kib : sizes)
        Run(kib, wireTime, loaderPath, dir, random);
    return 0;
}
