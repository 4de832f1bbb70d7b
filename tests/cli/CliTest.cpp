#include "tests/support/FaultMatrix.h"
#include "tests/support/WriteFixture.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

struct WriterRun {
    int status = -1;
    QString out;
    QString err;
    QString LastLine() const { return out.split(u'\n', Qt::SkipEmptyParts).value(out.count(u'\n') - 1); }
};

WriterRun RunWriter(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral(QW735_WRITE_PATH), args);
    process.waitForFinished(60'000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

class CommandLineFaults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(CommandLineFaults, ReportTheirMessageAndStatus)
{
    const FaultRow &row = GetParam();
    sim::BoardScript script;
    row.script(script);
    sim::TargetSim board(script);
    QTemporaryDir dir;
    const QString port = QString::fromStdString(board.SlavePath());
    QString loader = WriteFile(dir, QStringLiteral("tqw735.bin"), TestLoader(MatrixLoaderSize));
    QString mot = WriteFile(dir, QStringLiteral("program.mot"), MatrixProgram);

    std::optional<SerialPort> holder;
    switch (row.setup) {
    case FaultRow::Setup::None: break;
    case FaultRow::Setup::PortBusy:
        holder.emplace();
        holder->SelectDevice(port);
        ASSERT_TRUE(holder->Open());
        break;
    case FaultRow::Setup::LoaderMissing: QFile::remove(loader); break;
    case FaultRow::Setup::LoaderEmpty: WriteFile(dir, QStringLiteral("tqw735.bin"), {}); break;
    case FaultRow::Setup::LoaderTooLarge: WriteFile(dir, QStringLiteral("tqw735.bin"), QByteArray(0x10000, 'x')); break;
    case FaultRow::Setup::SRecordRemoved: QFile::remove(mot); break;
    case FaultRow::Setup::SRecordMalformed: WriteFile(dir, QStringLiteral("program.mot"), MatrixMalformedProgram); break;
    }

    const WriterRun run = RunWriter({QStringLiteral("--loader"), loader, port, mot});
    EXPECT_EQ(run.status, row.exitStatus) << run.err.toStdString();
    const QString expected = ExpectedMessage(row, port, mot, loader);
    if (row.messageIsPrefix)
        EXPECT_TRUE(run.LastLine().startsWith(expected)) << run.LastLine().toStdString();
    else
        EXPECT_EQ(run.LastLine(), expected);

    // Nothing goes out after the failing step...
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(CountedBytes(board.Received()), row.bytesSent);
    // ...and the port is free again for the next write.
    if (!holder && !board.HungUp()) {
        SerialPort again;
        again.SelectDevice(port);
        EXPECT_TRUE(again.Open());
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, CommandLineFaults, ::testing::ValuesIn(FaultRows()),
                         [](const auto &info) { return info.param.name; });

TEST(CommandLine, ShowsProgressAsPlainLinesWhenNotOnATerminal)
{
    sim::BoardScript script;
    sim::TargetSim board(script);
    QTemporaryDir dir;
    const WriterRun run = RunWriter({QStringLiteral("--loader"), WriteFile(dir, QStringLiteral("l.bin"), TestLoader(40)),
                               QString::fromStdString(board.SlavePath()),
                               WriteFile(dir, QStringLiteral("p.mot"), MatrixProgram)});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, QStringLiteral("O.K.\n"));
    EXPECT_TRUE(run.err.contains(QStringLiteral("loader 100%\n"))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("image  100%\n"))) << run.err.toStdString();
    EXPECT_EQ(board.LastWrite().image.size(), 192u);
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

TEST(CommandLine, RefusesBadUsage)
{
    for (const QStringList &args : {QStringList{}, QStringList{QStringLiteral("COM1")}, QStringList{QStringLiteral("--bogus")},
                                    QStringList{QStringLiteral("--info")}, QStringList{QStringLiteral("--list-ports"), QStringLiteral("x")}}) {
        const WriterRun run = RunWriter(args);
        EXPECT_EQ(run.status, 64) << args.join(u' ').toStdString();
        EXPECT_TRUE(run.err.startsWith(QStringLiteral("usage: qw735-write"))) << run.err.toStdString();
        EXPECT_TRUE(run.out.isEmpty());
    }
}

}  // namespace
}  // namespace qw735::test
