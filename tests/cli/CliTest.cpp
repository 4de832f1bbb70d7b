// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/Ser2netServer.h"
#include "tests/support/FaultMatrix.h"
#include "tests/support/WriteFixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

// How the writer's standard descriptors are handed over.
enum class Stdio {
    Files,       // stdin /dev/null; stdout and stderr captured
    AllClosed,   // 0, 1 and 2 closed, as a careless service manager may start it
    BrokenPipe,  // stdout and stderr into a pipe nobody reads any more
    StalledPipe, // stdout into a full pipe its reader does not drain for now
};

struct WriterRun {
    int status = -1;  // the exit status; -1 when a signal ended the writer
    int signal = 0;   // that signal
    QString out;
    QString err;
    QString LastLine() const { return out.split(u'\n', Qt::SkipEmptyParts).value(out.count(u'\n') - 1); }
};

// One qw735-write process. The arguments are bytes, as a shell passes
// them: a file name need not be valid UTF-8.
class Writer {
public:
    // `memoryKiB`: when not 0, the writer's address space is limited to that.
    explicit Writer(const QList<QByteArray> &args, Stdio stdio = Stdio::Files, const QString &cwd = {}, long memoryKiB = 0)
    {
        const QByteArray out = QFile::encodeName(files_.filePath(QStringLiteral("out")));
        const QByteArray err = QFile::encodeName(files_.filePath(QStringLiteral("err")));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeEnds[2] = {-1, -1};
        switch (stdio) {
        case Stdio::Files:
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            posix_spawn_file_actions_addopen(&actions, 2, err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            break;
        case Stdio::AllClosed:
            for (int fd : {0, 1, 2})
                posix_spawn_file_actions_addclose(&actions, fd);
            break;
        case Stdio::BrokenPipe:
            EXPECT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
            ::close(pipeEnds[0]);
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
            break;
        case Stdio::StalledPipe: {
            EXPECT_EQ(::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK), 0);
            const QByteArray filler(4096, '.');
            while (::write(pipeEnds[1], filler.constData(), filler.size()) > 0) {
            }
            // Full; the writer's own writes must block, not fail.
            ::fcntl(pipeEnds[0], F_SETFL, 0);
            ::fcntl(pipeEnds[1], F_SETFL, 0);
            stalled_ = pipeEnds[0];
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
            posix_spawn_file_actions_addopen(&actions, 2, err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            break;
        }
        }
        // The signals this test process may have been started ignoring
        // must not be ignored by the writer.
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
        QList<QByteArray> command;
        if (memoryKiB)
            command << "prlimit" << "--as=" + QByteArray::number(memoryKiB * 1024) << "--";
        command << QW735_WRITE_PATH << args;
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
    ~Writer()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (stalled_ >= 0)
            ::close(stalled_);
    }

    pid_t Pid() const { return pid_; }

    // With a stalled stdout: everything in the pipe, once the writer ended.
    QByteArray DrainStalledPipe()
    {
        QByteArray all;
        char buffer[4096];
        for (ssize_t got; (got = ::read(stalled_, buffer, sizeof buffer)) > 0;)
            all.append(buffer, got);
        return all;
    }

    // Waits for the end (a minute at most) and collects what it printed.
    WriterRun Wait()
    {
        WriterRun run;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "qw735-write did not end within a minute";
                return run;
            }
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        if (WIFEXITED(status))
            run.status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            run.signal = WTERMSIG(status);
        run.out = ReadAll(QStringLiteral("out"));
        run.err = ReadAll(QStringLiteral("err"));
        return run;
    }

private:
    QString ReadAll(const QString &name) const
    {
        QFile file(files_.filePath(name));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QTemporaryDir files_;
    pid_t pid_ = -1;
    int stalled_ = -1;  // the read end of a stalled stdout
};

QList<QByteArray> Args(const QStringList &args)
{
    QList<QByteArray> bytes;
    for (const QString &arg : args)
        bytes << QFile::encodeName(arg);
    return bytes;
}

WriterRun RunWriter(const QStringList &args, const QString &cwd = {})
{
    return Writer(Args(args), Stdio::Files, cwd).Wait();
}

class CommandLineFaults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(CommandLineFaults, ReportTheirMessageAndStatus)
{
    const FaultRow &row = GetParam();
    FaultStage stage(row);

    const WriterRun run = RunWriter({QStringLiteral("--loader"), stage.loader, stage.device, stage.mot});
    EXPECT_EQ(run.status, row.exitStatus) << run.err.toStdString();
    stage.ExpectMessage(run.LastLine(), stage.device);

    stage.ExpectNothingSentAfterTheFailure();
    stage.ExpectTheProgramWhenWritten();
    // The port is free again for the next write.
    if (!stage.holder && !stage.board.HungUp()) {
        SerialPort again;
        again.SelectDevice(stage.device);
        EXPECT_TRUE(again.Open());
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, CommandLineFaults, ::testing::ValuesIn(FaultRows(FrontEnd::CommandLine)),
                         [](const auto &info) { return info.param.name; });

class RemoteCommandLineFaults : public ::testing::TestWithParam<FaultRow> {};

double MsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The board behind ser2net, written to as rfc2217://127.0.0.1:PORT.
TEST_P(RemoteCommandLineFaults, ReportTheSameMessageAndStatus)
{
    using Clock = std::chrono::steady_clock;
    const FaultRow &row = GetParam();
    FaultStage stage(row);
    sim::Ser2netServer server(stage.device.toStdString());
    const QString url = QString::fromStdString(server.Url());

    std::optional<Clock::time_point> killedAt;
    std::thread killer;
    if (row.setup == FaultRow::Setup::ServerKilled) {
        killer = std::thread([&] {
            const auto deadline = Clock::now() + std::chrono::seconds(30);
            while (CountedBytes(stage.board.Received()) < row.bytesSent && Clock::now() < deadline)
                stage.board.WaitForReceived(stage.board.Received().size() + 1, std::chrono::milliseconds(100));
            killedAt = Clock::now();
            server.Kill();
        });
    }
    const WriterRun run = RunWriter({QStringLiteral("--loader"), stage.loader, url, stage.mot});
    const auto finished = Clock::now();
    if (killer.joinable())
        killer.join();

    EXPECT_EQ(run.status, row.exitStatus) << run.err.toStdString();
    stage.ExpectMessage(run.LastLine(), url);
    // A dropped connection ends the wait at once, not at the reply limit.
    if (killedAt) {
        EXPECT_LT(MsBetween(*killedAt, finished), 1000);
    }
    stage.ExpectNothingSentAfterTheFailure();
}

INSTANTIATE_TEST_SUITE_P(Matrix, RemoteCommandLineFaults, ::testing::ValuesIn(RemoteFaultRows()),
                         [](const auto &info) { return info.param.name; });

// The loader is as long as the image: the two stages still show apart.
TEST(CommandLine, ShowsProgressAsPlainLinesWhenNotOnATerminal)
{
    sim::BoardScript script;
    sim::TargetSim board(script);
    QTemporaryDir dir;
    const WriterRun run = RunWriter({QStringLiteral("--loader"), WriteFile(dir, QStringLiteral("l.bin"), TestLoader(192)),
                                     QString::fromStdString(board.SlavePath()),
                                     WriteFile(dir, QStringLiteral("p.mot"), MatrixProgram)});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, QStringLiteral("O.K.\n"));
    EXPECT_TRUE(run.err.contains(QStringLiteral("loader 100%\n"))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("image  100%\n"))) << run.err.toStdString();
    EXPECT_EQ(board.LastWrite().image.size(), 192u);
}

// Digests of MatrixProgram and of TestLoader(40), from sha256sum.
constexpr const char *MatrixProgramSha256 = "b80de757886aa968d3810d5d4ac51266e34ec9252e2ea70e53c028d4818c85ff";
constexpr const char *MatrixLoaderSha256 = "98a5fca76ef168e16d802bb03ce6d16fd78b3bb6c6b34d3cc7acfee0f17db3f0";

std::vector<QJsonObject> ReadRecords(const QString &path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    std::vector<QJsonObject> records;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonDocument record = QJsonDocument::fromJson(line);
        EXPECT_TRUE(record.isObject()) << line.toStdString();
        records.push_back(record.object());
    }
    return records;
}

// Three boards at once: a line each in the order given, the summary, the
// first failing board's status (not the first to fail), a record each that
// matches what its board saw, and a trace that names the ports.
TEST(CommandLine, WritesSeveralBoardsAtOnceWithRecordsAndATrace)
{
    const std::vector<FaultRow> rows = {FaultRowNamed("Healthy"), FaultRowNamed("WrongFinalReply"), FaultRowNamed("WrongEcho")};
    std::deque<FaultStage> stages;
    for (const FaultRow &row : rows)
        stages.emplace_back(row);
    const FaultStage &first = stages[0];
    const QString report = first.dir.filePath(QStringLiteral("r.jsonl"));
    const QString trace = first.dir.filePath(QStringLiteral("w.trace"));
    const WriterRun run = RunWriter({QStringLiteral("--loader"), first.loader, QStringLiteral("--report"), report,
                                     QStringLiteral("--trace=") + trace, stages[0].device, stages[1].device, stages[2].device, first.mot});

    EXPECT_EQ(run.status, 6) << run.err.toStdString();
    EXPECT_EQ(run.out, QStringLiteral("%1: O.K.\n%2: S File Err \n%3: Farm Err\n1 of 3 boards O.K.\n")
                           .arg(stages[0].device, stages[1].device, stages[2].device));
    EXPECT_TRUE(run.err.contains(stages[0].device + QStringLiteral(" image  100%\n"))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(stages[2].device + QStringLiteral(" ended: Farm Err\n"))) << run.err.toStdString();

    const std::vector<QJsonObject> records = ReadRecords(report);
    ASSERT_EQ(records.size(), 3u);
    const sim::WriteRecord healthy = stages[0].board.LastWrite();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const FaultStage &stage : stages) {
        const auto record = std::find_if(records.begin(), records.end(), [&](const QJsonObject &r) { return r[u"port"] == stage.device; });
        ASSERT_NE(record, records.end()) << stage.row.name;
        const QDateTime start = QDateTime::fromString((*record)[u"start"].toString(), Qt::ISODateWithMs);
        EXPECT_EQ(start.timeSpec(), Qt::UTC);
        EXPECT_LT(start.secsTo(now), 60);
        EXPECT_EQ((*record)[u"device"].toString(), stage.device);
        EXPECT_EQ((*record)[u"file"].toString(), first.mot);
        EXPECT_EQ((*record)[u"file_sha256"].toString(), QLatin1String(MatrixProgramSha256));
        EXPECT_EQ((*record)[u"loader_sha256"].toString(), QLatin1String(MatrixLoaderSha256));
        EXPECT_EQ((*record)[u"transfer_size"].toInt(), static_cast<int>(healthy.imageSize));
        EXPECT_EQ((*record)[u"checksum"].toInt(), healthy.checksum);
        EXPECT_EQ((*record)[u"message"].toString(), stage.row.message);
        EXPECT_EQ((*record)[u"exit_status"].toInt(), stage.row.exitStatus);
        EXPECT_GT((*record)[u"duration_s"].toDouble(), 0);
        EXPECT_EQ((*record)[u"bytes_sent"].toInteger(), static_cast<qint64>(stage.board.Received().size()));
        EXPECT_GT((*record)[u"bytes_received"].toInteger(), 0);
    }

    QFile traceFile(trace);
    ASSERT_TRUE(traceFile.open(QIODevice::ReadOnly));
    EXPECT_TRUE(traceFile.readAll().contains((stages[2].device + QStringLiteral(" loader 9    recv 13\n")).toLatin1()));
}

// Ctrl-C in the middle: every board stops, every port is closed, each
// board's state is shown and recorded, and the run ends by the signal as a
// single write does.
TEST(CommandLine, InterruptStopsEveryBoard)
{
    QTemporaryDir dir;
    std::deque<sim::TargetSim> boards;
    QStringList args = {QStringLiteral("--quiet"), QStringLiteral("--loader"), WriteFile(dir, QStringLiteral("l.bin"), TestLoader(4000)),
                        QStringLiteral("--report"), dir.filePath(QStringLiteral("r.jsonl"))};
    const QStringList ports = [&] {
        QStringList paths;
        for (int i = 0; i < 3; ++i)
            paths << QString::fromStdString(boards.emplace_back(Script([](auto &s) { s.modelWireTime = s.lightWireTime = true; })).SlavePath());
        return paths;
    }();
    args << ports << WriteFile(dir, QStringLiteral("p.mot"), MatrixProgram);

    Writer writer(Args(args));
    for (const sim::TargetSim &board : boards)
        ASSERT_TRUE(board.WaitForReceived(20, 20s));
    ::kill(writer.Pid(), SIGINT);
    const WriterRun run = writer.Wait();
    EXPECT_EQ(run.signal, SIGINT) << "exit status " << run.status;

    const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(lines[i].startsWith(ports[i] + QStringLiteral(": ended by SIGINT at loader byte "))) << lines[i].toStdString();
        EXPECT_TRUE(lines[i].endsWith(QStringLiteral("; the board is not fully written"))) << lines[i].toStdString();
        SerialPort again;
        again.SelectDevice(ports[i]);
        EXPECT_TRUE(again.Open());
    }
    EXPECT_EQ(lines[3], QStringLiteral("0 of 3 boards O.K."));
    const std::vector<QJsonObject> records = ReadRecords(dir.filePath(QStringLiteral("r.jsonl")));
    ASSERT_EQ(records.size(), 3u);
    for (const QJsonObject &record : records) {
        EXPECT_EQ(record[u"exit_status"].toInt(), 128 + SIGINT);
        EXPECT_TRUE(lines.contains(record[u"port"].toString() + QStringLiteral(": ") + record[u"message"].toString()));
    }
}

TEST(CommandLine, RefusesTwoNamesForOneDevice)
{
    sim::TargetSim board;
    QTemporaryDir dir;
    const QString device = QString::fromStdString(board.SlavePath());
    const QString alias = dir.filePath(QStringLiteral("board"));
    ASSERT_TRUE(QFile::link(device, alias));
    const WriterRun run = RunWriter({QStringLiteral("--loader"), WriteFile(dir, QStringLiteral("l.bin"), TestLoader(40)), device, alias,
                                     WriteFile(dir, QStringLiteral("p.mot"), MatrixProgram)});
    EXPECT_EQ(run.status, 64);
    EXPECT_EQ(run.err, QStringLiteral("qw735-write: %1 and %2 name the same device (%1); each board needs a port of its own\n").arg(device, alias));
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(board.Received().empty());
}

TEST(CommandLine, SummarisesAnImageWithoutOpeningAPort)
{
    QTemporaryDir dir;
    const WriterRun run = RunWriter({QStringLiteral("--info"), WriteFile(dir, QStringLiteral("p.mot"), "S9030000FC\n")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, QStringLiteral("highest loaded address  0x00000\n"
                                      "transfer size           64 bytes, 1 blocks of 64\n"
                                      "checksum byte           0x3F\n"));
}

// Each row: arguments that name no write, and the first line on stderr
// when the row gives one. --help and -h print the usage on stdout instead.
TEST(CommandLine, RefusesBadUsage)
{
    const std::pair<QStringList, QString> rows[] = {
        {{}, {}},
        {{"COM1"}, {}},
        {{"--bogus"}, {}},
        {{"--info"}, {}},
        {{"--list-ports", "x"}, {}},
        {{"--info", "--list-ports"}, {}},
        {{"--loader", "--quiet", "COM1", "p.mot"}, {}},  // --loader without its value
        {{"--loader=", "COM1", "p.mot"}, {}},
        {{"--loader", "a.bin", "--loader", "b.bin", "COM1", "p.mot"}, {}},
        {{"--report", "--quiet", "COM1", "p.mot"}, {}},  // --report without its value
        {{"--trace=", "COM1", "p.mot"}, {}},
        {{"--trace", "--trace=t.txt", "COM1", "p.mot"}, {}},
        {{"--info", "--trace", "p.mot"}, {}},
        {{"", "p.mot"}, "qw735-write: the port name is empty"},
        {{"COM0", "p.mot"}, "qw735-write: COM0 is out of range: the Com numbers are COM1..COM10"},
        {{"com11", "p.mot"}, "qw735-write: com11 is out of range: the Com numbers are COM1..COM10"},
        {{"--help"}, {}},
        {{"-h", "COM1"}, {}},
    };
    for (const auto &[args, why] : rows) {
        const WriterRun run = RunWriter(args);
        const bool help = args.value(0).startsWith(u"-h") || args.value(0) == u"--help";
        EXPECT_EQ(run.status, help ? 0 : 64) << args.join(u' ').toStdString();
        if (!why.isEmpty()) {
            EXPECT_EQ(run.err.section(u'\n', 0, 0), why);
        }
        EXPECT_TRUE((help ? run.out : run.err).contains(QStringLiteral("usage: qw735-write"))) << args.join(u' ').toStdString();
        EXPECT_TRUE((help ? run.err : run.out).isEmpty());
    }
}

// Ways of naming the files and the port, with the message each ends in.
// Names need not be UTF-8 (here Latin-1, as older systems write them): they
// are opened by their bytes and shown with \xNN for the others.
TEST(CommandLine, TakesNamesAsTheyAreGiven)
{
    const struct {
        const char *name;
        QList<QByteArray> args;  // {dir} and {port} are filled in
        const char *message;     // the last line on stdout; {dir} is filled in
    } rows[] = {
        {"LoaderWithEqualsSign", {"--loader={dir}/tqw735.bin", "{port}", "{dir}/p.mot"}, "O.K."},
        {"DashDashEndsTheOptions", {"--loader", "tqw735.bin", "--", "{port}", "-p.mot"}, "O.K."},
        // In the working directory, where the serial port library looks in /dev.
        {"RelativePortName", {"--loader", "tqw735.bin", "board", "p.mot"}, "O.K."},
        {"SRecordNameNotUtf8", {"--loader", "tqw735.bin", "{port}", "caf\xE9.mot"}, "O.K."},
        {"LoaderNameNotUtf8", {"--loader", "l\xE9.bin", "{port}", "p.mot"}, "O.K."},
        {"MessageNamesNotUtf8", {"--loader", "tqw735.bin", "{port}", "{dir}/bad\xE9.mot"},
         "S-record file {dir}/bad\\xE9.mot, line 3: 'G' at column 27 is not a hexadecimal digit"},
    };
    QTemporaryDir dir;
    const QByteArray in = QFile::encodeName(dir.path());
    const QByteArray loader = TestLoader(MatrixLoaderSize);
    const std::pair<QByteArray, QByteArray> files[] = {{"tqw735.bin", loader},          {"l\xE9.bin", loader},
                                                       {"p.mot", MatrixProgram},        {"-p.mot", MatrixProgram},
                                                       {"caf\xE9.mot", MatrixProgram}, {"bad\xE9.mot", MatrixMalformedProgram}};
    for (const auto &[name, data] : files)
        std::ofstream((in + '/' + name).toStdString(), std::ios::binary) << data.toStdString();
    for (const auto &row : rows) {
        sim::TargetSim board;
        QFile::remove(dir.filePath(QStringLiteral("board")));
        QFile::link(QString::fromStdString(board.SlavePath()), dir.filePath(QStringLiteral("board")));
        QList<QByteArray> args = row.args;
        for (QByteArray &arg : args)
            arg.replace("{dir}", in).replace("{port}", QByteArray::fromStdString(board.SlavePath()));
        const WriterRun run = Writer(args, Stdio::Files, dir.path()).Wait();
        EXPECT_EQ(run.LastLine(), QString::fromUtf8(row.message).replace(QStringLiteral("{dir}"), dir.path())) << row.name;
        EXPECT_EQ(run.status, QByteArray(row.message) == "O.K." ? 0 : 7) << row.name << ": " << run.err.toStdString();
    }
    // Qt cannot name them to remove them.
    for (const auto &[name, data] : files)
        ::unlink((in + '/' + name).constData());
}

// The descriptors a shell, a service manager or a pipeline may hand over:
// none of them may end a write midway or keep the port.
TEST(CommandLine, WritesWhateverStdinStdoutAndStderrAre)
{
    for (const Stdio stdio : {Stdio::AllClosed, Stdio::BrokenPipe, Stdio::StalledPipe}) {
        const int row = static_cast<int>(stdio);
        sim::TargetSim board;
        QTemporaryDir dir;
        Writer writer({"--loader", QFile::encodeName(WriteFile(dir, QStringLiteral("l.bin"), TestLoader(MatrixLoaderSize))),
                       QByteArray::fromStdString(board.SlavePath()),
                       QFile::encodeName(WriteFile(dir, QStringLiteral("p.mot"), MatrixProgram))},
                      stdio);
        if (stdio == Stdio::StalledPipe) {
            // The message waits for the pipe's reader; the port must not.
            ASSERT_TRUE(board.WaitForEnd(20s)) << row;
            SerialPort port;
            port.SelectDevice(QString::fromStdString(board.SlavePath()));
            EXPECT_TRUE(PumpUntil([&] { return port.Open().has_value(); }, 20s)) << "the port is held while the message waits";
            port.Close();
            auto drain = std::async(std::launch::async, [&] { return writer.DrainStalledPipe(); });
            EXPECT_EQ(writer.Wait().status, 0);
            EXPECT_TRUE(drain.get().endsWith(".O.K.\n"));
        } else {
            const WriterRun run = writer.Wait();
            EXPECT_EQ(run.status, 0) << row << " ended by signal " << run.signal;
        }
        EXPECT_TRUE(board.LastWrite().completed) << row;
    }
}

// Every signal that ends a program from a shell, a terminal or a session
// manager ends a write the same way: the port is closed, its line settings
// restored, a message says so, and the writer then ends by that signal (a
// shell shows 128 + its number). While the files are still being read,
// nothing is held and the signal ends the writer at once.
TEST(CommandLine, EndsCleanlyOnEverySignalThatEndsAProgram)
{
    enum class When { Writing, WaitingForTheSRecordPipe, WaitingForTheLoaderPipe };
    const std::tuple<const char *, int, When> rows[] = {
        {"SIGINT", SIGINT, When::Writing},
        {"SIGQUIT", SIGQUIT, When::Writing},
        {"SIGTERM", SIGTERM, When::Writing},
        {"SIGHUP", SIGHUP, When::Writing},
        {"SIGINT", SIGINT, When::WaitingForTheSRecordPipe},
        {"SIGTERM", SIGTERM, When::WaitingForTheLoaderPipe},
    };
    for (const auto &[name, signal, when] : rows) {
        SCOPED_TRACE(std::string(name) + " when " + std::to_string(static_cast<int>(when)));
        // Silent after loader byte 9: the writer waits for its echo.
        sim::TargetSim board(Script([](auto &s) { s.echoFaultAt = 9; }));
        const sim::LineSettings before = board.CurrentSettings();
        QTemporaryDir dir;
        QString loader = WriteFile(dir, QStringLiteral("l.bin"), TestLoader(MatrixLoaderSize));
        QString mot = WriteFile(dir, QStringLiteral("p.mot"), MatrixProgram);
        // A pipe whose writer never comes.
        QString &pipe = when == When::WaitingForTheLoaderPipe ? loader : mot;
        if (when != When::Writing) {
            pipe = dir.filePath(QStringLiteral("fifo"));
            ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        }
        Writer writer(Args({QStringLiteral("--loader"), loader, QString::fromStdString(board.SlavePath()), mot}));
        if (when == When::Writing)
            ASSERT_TRUE(board.WaitForReceived(2 + 2 + 9, 20s));
        else
            std::this_thread::sleep_for(200ms);
        ::kill(writer.Pid(), signal);
        const WriterRun run = writer.Wait();

        EXPECT_EQ(run.signal, signal) << "exit status " << run.status;
        EXPECT_TRUE(run.out.isEmpty());
        const QString message = when == When::Writing
                                    ? QStringLiteral("qw735-write: ended by %1; the board is not fully written\n").arg(QLatin1String(name))
                                    : QString();
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(CountedBytes(board.Received()), when == When::Writing ? 2u + 2 + 9 : 0u);
        EXPECT_EQ(board.CurrentSettings(), before);
        SerialPort again;
        again.SelectDevice(QString::fromStdString(board.SlavePath()));
        EXPECT_TRUE(again.Open());
    }
}

// Out of memory at any point, the writer ends with a line that says so and
// the port closed, never by an exception that leaves main (an abort, with the
// port's lock file left behind). Below the least memory a good write needs,
// every limit is tried down to where the program cannot even start.
TEST(CommandLine, RunningOutOfMemoryEndsWithAMessageAndThePortClosed)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than any limit here leaves";
#endif
    QTemporaryDir dir;
    const QList<QByteArray> files = {"--quiet", "--loader=" + QFile::encodeName(WriteFile(dir, QStringLiteral("l.bin"), TestLoader(MatrixLoaderSize))),
                                     QFile::encodeName(WriteFile(dir, QStringLiteral("p.mot"), MatrixProgram))};
    // How it ended, and how many bytes the board got.
    const auto write = [&](long memoryKiB) {
        sim::TargetSim board;
        const WriterRun run =
            Writer({files[0], files[1], QByteArray::fromStdString(board.SlavePath()), files[2]}, Stdio::Files, {}, memoryKiB).Wait();
        std::this_thread::sleep_for(20ms);
        SerialPort again;
        again.SelectDevice(QString::fromStdString(board.SlavePath()));
        EXPECT_TRUE(again.Open()) << memoryKiB << " KiB";
        return std::pair{run, board.Received().size()};
    };

    // The least memory, to 64 KiB, in which the write succeeds.
    constexpr long Step = 64;
    long enough = 4 * 1024 * 1024, notEnough = 1024;
    ASSERT_EQ(write(enough).first.status, 0);
    while (enough - notEnough > Step) {
        const long middle = (enough + notEnough) / 2;
        (write(middle).first.status == 0 ? enough : notEnough) = middle;
    }

    int failedInOurCode = 0;
    for (long memoryKiB = enough - Step; memoryKiB > enough - 4096; memoryKiB -= Step) {
        const auto [run, sent] = write(memoryKiB);
        if (run.status == 70) {
            ++failedInOurCode;
            EXPECT_TRUE(run.err.startsWith(QStringLiteral("qw735-write: out of memory"))) << run.err.toStdString();
            if (sent > 0) {
                EXPECT_TRUE(run.err.endsWith(QStringLiteral("; the write stopped, the board is not fully written\n")))
                    << run.err.toStdString();
            }
        } else if (run.status != 0) {
            // Failures of the system's own start-up (the dynamic loader, a
            // library that aborts), before anything is held.
            EXPECT_EQ(sent, 0u) << memoryKiB << " KiB: status " << run.status << ", signal " << run.signal
                                       << ", " << run.err.toStdString();
        }
    }
    EXPECT_GT(failedInOurCode, 0) << "no limit ran out of memory in the writer's own code";
}

}  // namespace
}  // namespace qw735::test
