// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/AutoRun.h"
#include "tests/support/HostFixture.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <gtest/gtest.h>
#include <unistd.h>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

// The automatic run in this process, its slots in a folder of the test's
// own (a slot may be any folder: no namespace is needed), each board a
// simulated board's pseudo-terminal linked into it as udev links a plugged
// adapter. A short settle time: the boards are there when linked.
class AutoRunTest : public testing::Test {
protected:
    AutoRunTest()
    {
        QDir(dir.path()).mkpath(QStringLiteral("by-path"));
        program = PathName(QFile::encodeName(WriteFile(dir, QStringLiteral("p.mot"), "S1130000000102030405060708090A0B0C0D0E0F74\n")));
        loader = PathName(QFile::encodeName(WriteFile(dir, QStringLiteral("tqw735.bin"), TestLoader(40))));
        input = *ReadWriteInput(program, loader, InputReader::Uninterruptible);
    }

    QString SlotPath(const QString &name) const { return dir.filePath(QStringLiteral("by-path/") + name); }
    void Plug(const QString &name, const sim::TargetSim &board)
    {
        const QByteArray temporary = QFile::encodeName(SlotPath(QStringLiteral(".#") + name));
        ASSERT_EQ(::symlink(board.SlavePath().c_str(), temporary.constData()), 0);
        ASSERT_EQ(::rename(temporary.constData(), QFile::encodeName(SlotPath(name)).constData()), 0);
    }
    void Unplug(const QString &name) { ASSERT_EQ(::unlink(QFile::encodeName(SlotPath(name)).constData()), 0); }

    // A run on the slots named in by-path, its ends noted.
    void StartRun(const QStringList &names, int count = 0)
    {
        QStringList texts;
        for (const QString &name : names)
            texts << SlotPath(name);
        AutoSettings settings{.watch = {.settle = 50ms}, .count = count};
        run = std::make_unique<AutoRun>(*ParseSlots(texts), settings, std::nullopt, input, WriteOptions{});
        QObject::connect(run.get(), &AutoRun::BoardEnded, [this](int slot, const BoardOutcome &outcome, bool counted) {
            ended.push_back({slot, outcome.result.outcome, outcome.result.message, counted});
        });
        QObject::connect(run.get(), &AutoRun::Finished, [this] { finished = true; });
        ASSERT_TRUE(run->Start());
    }
    bool EndsReach(std::size_t count, std::chrono::milliseconds limit = 10s)
    {
        return PumpUntil([&] { return ended.size() >= count; }, limit);
    }

    struct Ended {
        int slot;
        WriteOutcome outcome;
        QString message;
        bool counted;
    };
    QTemporaryDir dir;
    PathName program, loader;
    WriteInput input;
    std::unique_ptr<AutoRun> run;
    std::vector<Ended> ended;
    bool finished = false;
};

sim::BoardScript Serving()
{
    return Script([](sim::BoardScript &s) { s.keepServing = true; });
}

TEST_F(AutoRunTest, ABoardLeftPluggedIsWrittenOnceAndAgainWhenPluggedAgain)
{
    sim::TargetSim board(Serving());
    StartRun({QStringLiteral("usb-0:1.1")});
    Plug(QStringLiteral("usb-0:1.1"), board);
    ASSERT_TRUE(EndsReach(1));
    EXPECT_EQ(ended[0].message.toStdString(), "O.K.");
    EXPECT_TRUE(ended[0].counted);
    const std::size_t received = board.Received().size();
    EXPECT_FALSE(EndsReach(2, 1s));
    EXPECT_EQ(board.Received().size(), received);
    Unplug(QStringLiteral("usb-0:1.1"));
    Plug(QStringLiteral("usb-0:1.1"), board);
    ASSERT_TRUE(EndsReach(2));
    EXPECT_EQ(ended[1].message.toStdString(), "O.K.");
    EXPECT_FALSE(finished);
}

TEST_F(AutoRunTest, ADeviceOnNoSlotIsNeverOpened)
{
    sim::TargetSim board;
    StartRun({QStringLiteral("usb-0:1.1")});
    Plug(QStringLiteral("usb-0:2.1"), board);
    EXPECT_FALSE(EndsReach(1, 700ms));
    EXPECT_TRUE(board.Received().empty());
}

// The board that does not answer ends as any write does, and its slot waits
// for it to go before it writes there again.
TEST_F(AutoRunTest, AFailedBoardIsNotWrittenAgainWhilePlugged)
{
    sim::TargetSim board(Script([](sim::BoardScript &s) {
        s.syncAfterZeros = 0;
        s.keepServing = true;
    }));
    StartRun({QStringLiteral("usb-0:1.1")});
    Plug(QStringLiteral("usb-0:1.1"), board);
    ASSERT_TRUE(EndsReach(1));
    EXPECT_EQ(ended[0].message.toStdString(), "Err 1");
    EXPECT_TRUE(ended[0].counted);
    const std::size_t received = board.Received().size();
    EXPECT_FALSE(EndsReach(2, 1500ms));
    EXPECT_EQ(board.Received().size(), received);
}

// Unplugged mid-write: the adapter's line hangs up, and the board ends as
// its port lost; the slot then writes the next board plugged.
TEST_F(AutoRunTest, ABoardUnpluggedMidWriteEndsAsLost)
{
    sim::TargetSim lost(Script([](sim::BoardScript &s) { s.hangUpAfter = 20; }));
    sim::TargetSim next;
    StartRun({QStringLiteral("usb-0:1.1")});
    Plug(QStringLiteral("usb-0:1.1"), lost);
    ASSERT_TRUE(PumpUntil([&] { return lost.HungUp(); }, 5s));
    Unplug(QStringLiteral("usb-0:1.1"));
    ASSERT_TRUE(EndsReach(1));
    EXPECT_EQ(ended[0].outcome, WriteOutcome::PortLost) << ended[0].message.toStdString();
    Plug(QStringLiteral("usb-0:1.1"), next);
    ASSERT_TRUE(EndsReach(2));
    EXPECT_EQ(ended[1].message.toStdString(), "O.K.");
}

// Stopped while two boards are written: both finish, nothing else starts,
// and the run says it is over once they have.
TEST_F(AutoRunTest, StopLetsTheBoardsBeingWrittenFinish)
{
    const auto slow = Script([](sim::BoardScript &s) {
        s.modelWireTime = true;
        s.lightWireTime = true;
    });
    sim::TargetSim first(slow), second(slow), third;
    StartRun({QStringLiteral("usb-0:1.1"), QStringLiteral("usb-0:1.2"), QStringLiteral("usb-0:1.3")});
    Plug(QStringLiteral("usb-0:1.1"), first);
    Plug(QStringLiteral("usb-0:1.2"), second);
    ASSERT_TRUE(PumpUntil([&] { return !first.Received().empty() && !second.Received().empty(); }, 5s));
    run->Stop();
    Plug(QStringLiteral("usb-0:1.3"), third);
    ASSERT_TRUE(PumpUntil([&] { return finished; }, 20s));
    ASSERT_EQ(ended.size(), 2u);
    for (const Ended &end : ended)
        EXPECT_EQ(end.message.toStdString(), "O.K.");
    EXPECT_TRUE(third.Received().empty());
}

TEST_F(AutoRunTest, TheCountEndsTheRun)
{
    sim::TargetSim first, second;
    StartRun({QStringLiteral("usb-0:1.1"), QStringLiteral("usb-0:1.2")}, 1);
    Plug(QStringLiteral("usb-0:1.1"), first);
    ASSERT_TRUE(PumpUntil([&] { return finished; }, 10s));
    Plug(QStringLiteral("usb-0:1.2"), second);
    EXPECT_FALSE(EndsReach(2, 500ms));
    EXPECT_EQ(ended.size(), 1u);
    EXPECT_TRUE(second.Received().empty());
}

}  // namespace
}  // namespace qw735::test

namespace qw735::test {
namespace {

// A remote slot's server is up when it takes a connection, down when it
// refuses one; the probe answers once either way.
TEST(TcpServerProbe, TellsWhetherTheServerTakesAConnection)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const quint16 port = server.serverPort();
    TcpServerProbe probe;
    for (const bool up : {true, false}) {
        if (!up)
            server.close();
        const Slot slot = *Slot::Parse(QStringLiteral("rfc2217://127.0.0.1:%1").arg(port));
        std::vector<bool> answers;
        probe.Try(slot, [&answers](bool accepted) { answers.push_back(accepted); });
        EXPECT_TRUE(PumpUntil([&] { return !answers.empty(); }, 5s));
        PumpUntil([] { return false; }, 100ms);
        EXPECT_EQ(answers, std::vector<bool>{up});
    }
}

}  // namespace
}  // namespace qw735::test
