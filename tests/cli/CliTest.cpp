// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/Ser2netServer.h"
#include "tests/support/FaultMatrix.h"
#include "tests/support/WriteFixture.h"

#include <QProcess>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

namespace qw735::test {
namespace {


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
    FaultStage stage(row);

    const WriterRun run = RunWriter({QStringLiteral("--loader"), stage.loader, stage.device, stage.mot});
    EXPECT_EQ(run.status, row.exitStatus) << run.err.toStdString();
    stage.ExpectMessage(run.LastLine(), stage.device);

    stage.ExpectNothingSentAfterTheFailure();
    // The port is free again for the next write.
    if (!stage.holder && !stage.board.HungUp()) {
        SerialPort again;
        again.SelectDevice(stage.device);
        EXPECT_TRUE(again.Open());
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, CommandLineFaults, ::testing::ValuesIn(FaultRows()),
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
