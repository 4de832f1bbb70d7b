// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/WireTrace.h"
#include "tests/support/FaultMatrix.h"
#include "tests/support/WriteFixture.h"
#include "writer/GangWrite.h"
#include "writer/ProductionRecord.h"

#include <QFile>
#include <gtest/gtest.h>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// One side of a wire trace, read back: every byte by direction, and each
// line as "step direction bytes" without the time and the port.
struct TraceSide {
    Bytes sent;
    Bytes taken;  // received or dropped
    QStringList lines;
};

// Reads the lines of `path` that belong to `port` (all of them when empty).
TraceSide ReadTrace(const QString &path, const QString &port = {})
{
    static const QStringList directions = {QStringLiteral("sent"), QStringLiteral("recv"), QStringLiteral("drop"), QStringLiteral("line")};
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    TraceSide side;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        QStringList fields = QString::fromLatin1(raw).split(u' ', Qt::SkipEmptyParts);
        if (fields.isEmpty() || (!port.isEmpty() && fields.value(1) != port))
            continue;
        fields.removeFirst();  // the time
        if (!port.isEmpty())
            fields.removeFirst();
        const qsizetype direction = std::find_if(fields.begin(), fields.end(), [](const QString &f) { return directions.contains(f); }) - fields.begin();
        EXPECT_LT(direction, fields.size()) << raw.toStdString();
        side.lines << fields.join(u' ');
        if (fields[direction] == u"line")
            continue;
        Bytes &bytes = fields[direction] == u"sent" ? side.sent : side.taken;
        for (const QString &hex : fields.mid(direction + 1))
            bytes.push_back(static_cast<std::uint8_t>(hex.toUInt(nullptr, 16)));
    }
    return side;
}

// Five boards at once, two healthy and three faulty, all tracing both ends:
// each ends as it would alone, none waits on another, and both traces show
// exactly what went over each board's wire.
TEST(GangWrite, EveryBoardEndsWithItsOwnMessageAndTrace)
{
    const std::vector<std::string> names = {"Healthy", "WrongEcho", "NoMiddleBlockRequest", "HangUpDuringImage", "Healthy"};
    QTemporaryDir dir;
    std::vector<std::unique_ptr<std::FILE, int (*)(std::FILE *)>> boardTraces;
    std::vector<FaultRow> rows;
    rows.reserve(names.size());
    for (const std::string &name : names) {
        const QString path = dir.filePath(QStringLiteral("board%1.trace").arg(rows.size()));
        boardTraces.emplace_back(std::fopen(QFile::encodeName(path).constData(), "w"), std::fclose);
        FaultRow row = FaultRowNamed(name);
        row.script = [script = row.script, trace = boardTraces.back().get()](sim::BoardScript &s) {
            script(s);
            s.trace = trace;
        };
        rows.push_back(std::move(row));
    }
    std::deque<FaultStage> stages;
    QStringList ports;
    for (const FaultRow &row : rows)
        ports << stages.emplace_back(row).device;

    // Every board writes the first stage's files; the others hold the same.
    const auto input = ReadWriteInput(QFile::encodeName(stages[0].mot), QFile::encodeName(stages[0].loader), InputReader::Uninterruptible);
    ASSERT_TRUE(input);
    GangWrite gang(ports, [&](Link &link, ProgressDisplay &progress, MessageBox &message) {
        return WriteTarget(link, *input, progress, message);
    });
    const QString hostTrace = dir.filePath(QStringLiteral("host.trace"));
    auto trace = TraceOutput::ToFile(hostTrace);
    ASSERT_TRUE(trace);
    gang.SetTrace(trace->get());
    QList<int> endOrder;
    QObject::connect(&gang, &GangWrite::BoardEnded, [&](int board) { endOrder << board; });
    gang.Start();
    ASSERT_TRUE(PumpUntil([&] { return !gang.Running(); }, 30s));

    // The silent block request costs its own board 3 s, and no other.
    EXPECT_GT(endOrder.indexOf(2), endOrder.indexOf(0));
    EXPECT_GT(endOrder.indexOf(2), endOrder.indexOf(4));

    for (std::size_t i = 0; i < stages.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const FaultStage &stage = stages[i];
        const BoardOutcome &outcome = gang.Outcome(static_cast<int>(i));
        stage.ExpectMessage(outcome.result.message, stage.device);
        stage.ExpectNothingSentAfterTheFailure();

        const TraceSide host = ReadTrace(hostTrace, stage.device);
        const Bytes received = stage.board.ReceivedValues();
        if (stage.board.HungUp()) {
            ASSERT_GE(host.sent.size(), received.size());
            EXPECT_EQ(Bytes(host.sent.begin(), host.sent.begin() + static_cast<std::ptrdiff_t>(received.size())), received);
            continue;
        }
        EXPECT_EQ(host.sent, received);
        EXPECT_EQ(outcome.bytesSent, received.size());
        boardTraces[i].reset();
        const TraceSide board = ReadTrace(dir.filePath(QStringLiteral("board%1.trace").arg(i)));
        EXPECT_EQ(board.taken, host.sent);
        EXPECT_EQ(board.sent, host.taken);
        EXPECT_EQ(outcome.bytesReceived, host.taken.size());
    }

    // Where the wrong echo came, on both sides.
    EXPECT_TRUE(ReadTrace(hostTrace, ports[1]).lines.contains(QStringLiteral("loader 9 recv 13")));
    EXPECT_TRUE(ReadTrace(dir.filePath(QStringLiteral("board1.trace"))).lines.contains(QStringLiteral("loader 9 sent 13")));
}

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// Several processes may append to one record file: each record goes in
// whole, under a lock, or not at all.
TEST(ProductionRecord, AppendWaitsForTheLockOfAnotherWriter)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("r.jsonl"), "{\"a\":1}\n");
    const int other = ::open(QFile::encodeName(path).constData(), O_RDWR);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    auto file = RecordFile::Open(path);
    ASSERT_TRUE(file);
    std::thread append([&] { EXPECT_TRUE(file->Append("{\"b\":2}\n")); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ReadAll(path), "{\"a\":1}\n");
    ::flock(other, LOCK_UN);
    append.join();
    ::close(other);
    EXPECT_EQ(ReadAll(path), "{\"a\":1}\n{\"b\":2}\n");
}

TEST(ProductionRecord, AppendIsWholeOrNothing)
{
    QTemporaryDir dir;
    // A record left unfinished by another writer stays apart from ours.
    const QString path = WriteFile(dir, QStringLiteral("r.jsonl"), "{\"a\":");
    auto file = RecordFile::Open(path);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->Append("{\"b\":2}\n"));
    EXPECT_EQ(ReadAll(path), "{\"a\":\n{\"b\":2}\n");

    // A write cut short (here by a file size limit, in a child process) is
    // taken back.
    const auto appendPastTheLimit = [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{20, 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const auto appended = file->Append("{\"c\":\"a record too long to fit\"}\n");
        std::_Exit(!appended && appended.error().startsWith(QStringLiteral("Cannot write the report file")) ? 0 : 1);
    };
    EXPECT_EXIT(appendPastTheLimit(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadAll(path), "{\"a\":\n{\"b\":2}\n");
}

}  // namespace
}  // namespace qw735::test
