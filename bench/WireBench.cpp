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
//   qw735-bench-wire --remote [KIB...]
//                                  the same image (default 64 KiB) with wire
//                                  time, on the local pseudo-terminal and
//                                  through ser2net on loopback, plain and
//                                  with TLS (certificates on both sides), in
//                                  one run; --rounds N: N times round,
//                                  medians;
//                                  then what a 1 ms and a 10 ms network round
//                                  trip would add to a 128 KiB write
//   qw735-bench-wire --echo-remote N
//                                  echo round trips without wire time, local
//                                  and through ser2net
//   qw735-bench-wire --latency [--loader FILE] [KIB]
//                                  the same image (default 32 KiB) with wire
//                                  time, every reply 0, 1, 16, 30, 60 and
//                                  100 ms late, local and through ser2net as
//                                  advised: elapsed time against the wire's
//                                  plus one latency per awaited reply

#include "link/EventPump.h"
#include "link/Link.h"
#include "link/PortSettings.h"
#include "production/GangWrite.h"
#include "ports/PortName.h"
#include "remote/TlsIdentity.h"
#include "sim/TargetSim.h"
#include "tests/support/Ser2netServer.h"
#include "writer/Feedback.h"
#include "writer/FileSystem.h"
#include "writer/BoardRun.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
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
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace qw735;

constexpr const char *Usage =
    "Usage: qw735-bench-wire [--no-wire-time] [KIB...]   writes of KIB KiB images (default 128 4)\n"
    "  or:  qw735-bench-wire --gang                      64 KiB into 1, 8 and 32 boards at once\n"
    "  or:  qw735-bench-wire --remote [--rounds N] [KIB...]\n"
    "                                                    local and through ser2net on loopback, plain and TLS,\n"
    "                                                    N times round (medians)\n"
    "  or:  qw735-bench-wire --latency [--loader FILE] [KIB]\n"
    "                                                    replies 0..100 ms late, local and through ser2net\n"
    "  or:  qw735-bench-wire --echo N | --echo-wire N | --echo-wire-raw N | --echo-remote N\n"
    "  or:  qw735-bench-wire --idle-wait\n"
    "Measures writes through the simulated board against the time the wire needs.\n";

constexpr int LoaderBytes = 2048;
// After each of the loader's two size bytes, and for the loader to start.
constexpr double PausesS = 2 * 0.010 + DefaultLoaderStartMs / 1000.0;

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
        unsigned sum = 0;
        for (qsizetype k = 2; k < line.size(); k += 2)
            sum += line.mid(k, 2).toUInt(nullptr, 16);
        mot += line + QByteArray::number(~sum & 0xFF, 16).rightJustified(2, '0').toUpper() + "\r\n";
    }
    const QString path = dir.filePath(QStringLiteral("image%1.mot").arg(bytes));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(mot);
    return path;
}

// How the host reaches the board: its pseudo-terminal, or through ser2net
// on loopback, configured as the tests run it or as the README advises
// (chardelay: false, tcp(nodelay)), the latter also with TLS.
enum class Route { Local, Ser2net, Ser2netAdvised, Ser2netTls };

const char *RouteName(Route route)
{
    switch (route) {
    case Route::Local: return "local pty";
    case Route::Ser2net: return "ser2net, default";
    case Route::Ser2netAdvised: return "ser2net, as advised";
    case Route::Ser2netTls: return "ser2net, as advised, TLS";
    }
    return "?";
}

// The host side of a measurement, with ser2net in between when the route
// says so.
struct Host {
    Host(const sim::TargetSim &board, Route route)
    {
        QString port = QString::fromStdString(board.SlavePath());
        if (route != Route::Local) {
            const bool advised = route != Route::Ser2net;
            test::Ser2netServer::Options options{.chardelay = !advised, .nodelay = advised};
            if (route == Route::Ser2netTls) {
                // The writer trusts their CA and is their client "station1".
                const test::TestCertificates &files = test::TestCertificates::Shared();
                options.tls = files.ServerTls();
                auto identity = LoadTlsIdentity(QString::fromStdString(files.Crt("ca")), QString::fromStdString(files.Crt("station1")),
                                                QString::fromStdString(files.Key("station1")));
                if (!identity) {
                    std::fprintf(stderr, "%s\n", qPrintable(identity.error()));
                    std::exit(1);
                }
                tls = std::move(*identity);
            }
            server.emplace(board.SlavePath(), options);
            port = QString::fromStdString(server->Url());
        }
        line = PortName::Parse(port)->MakeTransport(pump, tls);
        link = std::make_unique<Link>(*line, pump);
    }
    void Open()
    {
        if (const auto opened = line->Open(); !opened) {
            std::fprintf(stderr, "%s\n", qPrintable(opened.error().text));
            std::exit(1);
        }
    }
    std::optional<test::Ser2netServer> server;
    std::optional<TlsIdentity> tls;  // over TLS: the writer's identity
    QtEventPump pump;  // the remote port waits with it
    std::unique_ptr<ByteTransport> line;
    std::unique_ptr<Link> link;
};

// Seconds the wire needs for these bytes at the boot and the loader speed,
// plus the two pauses after the loader's size bytes.
double WireSeconds(std::size_t bootBytes, std::size_t loaderBytes)
{
    return static_cast<double>(bootBytes) * 10.0 / 9600 + static_cast<double>(loaderBytes) * 10.0 / 38400 + PausesS;
}

// Replies the host waits for in a write: the sync answer, 0xAA, one echo per
// loader byte, the end mark, the command reply, one request per block and
// one for the checksum, and the final 0x06.
std::size_t AwaitedReplies(std::size_t loaderBytes, std::size_t blocks)
{
    return 2 + loaderBytes + 1 + 1 + blocks + 1 + 1;
}

struct Measured {
    QString message;
    double elapsed = 0;  // s, from the open to the result
    double wire = 0;     // s the wire needs for the bytes exchanged
    double cpu = 0;      // s of the writer thread
    std::size_t replies = 0;
};

Measured WriteOnce(const QString &mot, bool wireTime, const QString &loaderPath, Route route, int latencyMs = 0)
{
    sim::BoardScript script;
    script.modelWireTime = wireTime;
    script.replyLatencyMs = latencyMs;
    sim::TargetSim board(script);

    Host host(board, route);
    const FileSystem fileSystem = FileSystem::WithLoaderFile(loaderPath);
    NoProgress progress;
    Capture message;

    const double cpuStart = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    // Its message is captured.
    BoardRun run(*host.line, *host.link, FilesToRead{PathName(QFile::encodeName(mot)), PathName(QFile::encodeName(fileSystem.LoaderPath()))},
                 WriteOptions{});
    run.ShowProgress(progress);
    run.ShowResultIn(message);
    if (!run.Run().opened) {
        std::fprintf(stderr, "%s\n", qPrintable(message.text));
        std::exit(1);
    }
    Measured measured;
    measured.elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measured.cpu = ThreadCpuSeconds() - cpuStart;
    measured.message = message.text;

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
    measured.wire = WireSeconds(hostSlow + boardSlow, hostFast + boardFast);
    measured.replies = AwaitedReplies(write.loader.size(), blocks);
    return measured;
}

void Run(int kib, bool wireTime, const QString &loaderPath, const QTemporaryDir &dir, std::mt19937 &random)
{
    const QString mot = WriteProgram(dir, kib * 1024, random);
    const Measured m = WriteOnce(mot, wireTime, loaderPath, Route::Local);
    std::printf("| %3d KiB | %d B | %s | %8.3f | %8.3f | %6.4f | %6.3f | %5.2f%% | %zu | +%.1f s (+%.0f%%) | +%.1f s (+%.0f%%) |\n", kib,
                LoaderBytes, m.message.toUtf8().constData(), m.elapsed, m.wire, m.elapsed / m.wire, m.cpu, 100.0 * m.cpu / m.elapsed,
                m.replies, m.replies * 0.016, 100.0 * m.replies * 0.016 / m.wire, m.replies * 0.001, 100.0 * m.replies * 0.001 / m.wire);
    std::fflush(stdout);
}

// The same image written with wire time over each route in turn, `rounds`
// times round (the routes take turns, so that a busy moment of the machine
// falls on all of them alike), then what a network round trip would add to
// a 128 KiB write. Each route shows its median and its fastest round.
void CompareRoutes(int kib, int rounds, const QString &loaderPath, const QTemporaryDir &dir, std::mt19937 &random)
{
    const QString mot = WriteProgram(dir, kib * 1024, random);
    constexpr Route routes[] = {Route::Local, Route::Ser2net, Route::Ser2netAdvised, Route::Ser2netTls};
    std::vector<std::vector<double>> elapsed(std::size(routes));
    std::vector<QString> results(std::size(routes));
    double wireS = 0;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t r = 0; r < std::size(routes); ++r) {
            const Measured m = WriteOnce(mot, true, loaderPath, routes[r]);
            elapsed[r].push_back(m.elapsed);
            if (results[r].isEmpty() || m.message != QStringLiteral("O.K."))
                results[r] = m.message;
            wireS = m.wire;
            std::fprintf(stderr, "round %d, %s: %.3f s\n", round + 1, RouteName(routes[r]), m.elapsed);
        }
    }
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    };
    std::printf("| route | image | result | median s (%d rounds) | fastest s | wire s | median / wire | median / local | "
                "median / plain as advised |\n",
                rounds);
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    const double local = median(elapsed[0]), plain = median(elapsed[2]);
    for (std::size_t r = 0; r < std::size(routes); ++r) {
        const double m = median(elapsed[r]);
        std::printf("| %s | %d KiB | %s | %8.3f | %8.3f | %8.3f | %6.4f | %6.4f | %6.4f |\n", RouteName(routes[r]), kib,
                    results[r].toUtf8().constData(), m, *std::min_element(elapsed[r].begin(), elapsed[r].end()), wireS, m / wireS,
                    m / local, m / plain);
    }
    std::fflush(stdout);

    // 128 KiB: 2049 blocks (the transfer size rounds up one block), with
    // the same loader. Every awaited reply pays one network round trip.
    const std::size_t blocks = 2049, loader = LoaderBytes;
    const double wire = WireSeconds((1 + 1 + 2 + loader) + (1 + 1 + loader + 1),
                                    (2 + 8 + blocks * 65 + 2) + (1 + blocks + 1 + 1));
    const std::size_t replies = AwaitedReplies(loader, blocks);
    for (double rtt : {0.001, 0.010})
        std::printf("128 KiB write, %zu awaited replies, wire %.1f s: a %.0f ms network round trip adds %.1f s (+%.0f%%)\n",
                    replies, wire, rtt * 1000, replies * rtt, 100 * replies * rtt / wire);
}

// The same image with wire time, every reply `latencyMs` late, for each
// latency and route in turn. The floor is the wire's time plus one latency
// for every awaited reply: the host cannot ask before it has its answer.
// A board that says nothing to the loader's size bytes (the healthy
// script) costs the size answers' limit on top, once.
int Latency(int kib, const QString &loaderPath, const QTemporaryDir &dir, std::mt19937 &random)
{
    const QString mot = WriteProgram(dir, kib * 1024, random);
    std::printf("| route | latency ms | loader | image | result | elapsed s | wire s | replies | wire + replies x latency s | "
                "elapsed / that |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (Route route : {Route::Local, Route::Ser2netAdvised}) {
        for (int latencyMs : {0, 1, 16, 30, 60, 100}) {
            const Measured m = WriteOnce(mot, true, loaderPath, route, latencyMs);
            const double floor = m.wire + static_cast<double>(m.replies) * latencyMs / 1000.0;
            std::printf("| %s | %d | %lld B | %d KiB | %s | %.3f | %.3f | %zu | %.3f | %.4f |\n", RouteName(route), latencyMs,
                        static_cast<long long>(QFileInfo(loaderPath).size()), kib, m.message.toUtf8().constData(), m.elapsed,
                        m.wire, m.replies, floor, m.elapsed / floor);
            std::fflush(stdout);
        }
    }
    return 0;
}

// One byte out, its echo back, through the link's own reply wait: the
// latency every loader byte and every block pays on top of the wire.
int EchoRoundTrips(int count, bool wireTime, Route route)
{
    sim::BoardScript script;
    script.echoOnly = true;
    script.modelWireTime = wireTime;
    sim::TargetSim board(script);
    Host host(board, route);
    host.Open();
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        const auto value = static_cast<std::uint8_t>(i);
        const auto start = std::chrono::steady_clock::now();
        host.link->SendByte(value);
        if (host.link->WaitForByte(value) != ReplyResult::Expected)
            return 1;
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    PrintRoundTrips((std::string("echo round trips, ") + RouteName(route) + ",").c_str(), std::move(micros));
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
    Host host(board, Route::Local);
    host.Open();
    const double cpuStart = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const ReplyResult result = host.link->WaitForByte(0x06);
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
    // Read once, shared read-only by every board, as qw735-write does.
    const PathName program(QFile::encodeName(WriteProgram(dir, ImageKib * 1024, random)));
    const auto input = ReadWriteInput(program, PathName(QFile::encodeName(loaderPath)), InputReader::Uninterruptible);
    if (!input) {
        std::fprintf(stderr, "%s\n", qPrintable(input.error().message));
        return 1;
    }
    std::printf("| boards | image | loader | O.K. | elapsed s | vs one board | last loader done s | image after it s | writer CPU s | "
                "writer CPU share of one core |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    double single = 0;
    for (const int count : {1, 8, 32}) {
        sim::BoardScript script;
        script.modelWireTime = true;
        script.lightWireTime = true;
        std::vector<std::unique_ptr<sim::TargetSim>> boards;
        std::vector<PortName> ports;
        for (int i = 0; i < count; ++i) {
            boards.push_back(std::make_unique<sim::TargetSim>(script));
            ports.push_back(*PortName::Parse(QString::fromStdString(boards.back()->SlavePath())));
        }
        std::mutex mutex;
        double boardCpu = 0;
        std::chrono::steady_clock::time_point start;
        GangWrite gang(ports, std::nullopt, *input, WriteOptions{});
        // A board thread's whole time, taken on that thread as its image
        // transfer ends (the value goes back to 0); a lone board runs on the
        // main thread, which is measured as a whole below.
        QObject::connect(&gang, &GangWrite::ValueSet, [&](int, float value) {
            if (value == 0 && QThread::currentThread() != QCoreApplication::instance()->thread()) {
                std::lock_guard lock(mutex);
                boardCpu += ThreadCpuSeconds();
            }
        });
        // A front end's share: every progress report crosses to this thread.
        // A board's image begins after its loader.
        std::vector<double> loaderEnds(static_cast<std::size_t>(count));
        QObject::connect(&gang, &GangWrite::ValueSet, &gang, [](int, float) {});
        QObject::connect(&gang, &GangWrite::MaximumSet, &gang, [&](int board, ProgressStage stage, float) {
            if (stage == ProgressStage::Image)
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
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--idle-wait")
        return IdleWait();
    if (argc == 3 && std::string(argv[1]) == "--echo")
        return EchoRoundTrips(std::atoi(argv[2]), false, Route::Local);
    if (argc == 3 && std::string(argv[1]) == "--echo-remote") {
        for (Route route : {Route::Local, Route::Ser2net, Route::Ser2netAdvised, Route::Ser2netTls}) {
            if (const int failed = EchoRoundTrips(std::atoi(argv[2]), false, route))
                return failed;
        }
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--echo-wire-raw")
        return RawEchoRoundTrips(std::atoi(argv[2]));
    if (argc == 3 && std::string(argv[1]) == "--echo-wire")
        return EchoRoundTrips(std::atoi(argv[2]), true, Route::Local);
    QList<int> sizes;
    bool wireTime = true;
    bool gang = false;
    bool remote = false;
    bool latency = false;
    QString givenLoader;
    int rounds = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--no-wire-time")
            wireTime = false;
        else if (std::string(argv[i]) == "--gang")
            gang = true;
        else if (std::string(argv[i]) == "--remote")
            remote = true;
        else if (std::string(argv[i]) == "--latency")
            latency = true;
        else if (std::string(argv[i]) == "--loader" && i + 1 < argc)
            givenLoader = QString::fromLocal8Bit(argv[++i]);
        else if (std::string(argv[i]) == "--rounds" && i + 1 < argc && std::atoi(argv[i + 1]) > 0)
            rounds = std::atoi(argv[++i]);
        else if (const int kib = std::atoi(argv[i]); kib > 0 && kib <= 128)
            sizes << kib;
        else {
            std::fprintf(stderr, "qw735-bench-wire: %s is no image size in KiB (1..128)\n%s", argv[i], Usage);
            return 64;
        }
    }
    if (sizes.isEmpty())
        sizes = remote ? QList<int>{64} : latency ? QList<int>{32} : QList<int>{128, 4};

    QTemporaryDir dir;
    std::mt19937 random(735);
    QByteArray loader(LoaderBytes, 0);
    for (char &byte : loader)
        byte = static_cast<char>(random());
    const QString loaderPath = givenLoader.isEmpty() ? dir.filePath(QStringLiteral("tqw735.bin")) : givenLoader;
    if (givenLoader.isEmpty()) {
        QFile file(loaderPath);
        file.open(QIODevice::WriteOnly);
        file.write(loader);
    }

    if (gang)
        return Gang(loaderPath, dir, random);
    if (latency) {
        for (int kib : sizes)
            Latency(kib, loaderPath, dir, random);
        return 0;
    }
    if (remote) {
        for (int kib : sizes)
            CompareRoutes(kib, rounds, loaderPath, dir, random);
        return 0;
    }
    std::printf("| image | loader | result | elapsed s | wire s | ratio | host CPU s | CPU share | awaited replies | 16 ms latency (worst) | 1 ms latency (worst) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (int kib : sizes)
        Run(kib, wireTime, loaderPath, dir, random);
    return 0;
}
