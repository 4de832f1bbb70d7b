// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/HostFixture.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <numeric>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> AllByteValues()
{
    std::vector<std::uint8_t> values(256);
    std::iota(values.begin(), values.end(), 0);
    return values;
}

std::vector<std::uint8_t> ToBytes(const QByteArray &data)
{
    return {data.begin(), data.end()};
}

TEST(Link, PassesEveryByteValueUnchangedBothWays)
{
    sim::BoardScript echo;
    echo.echoOnly = true;
    HostSide host(echo);
    ASSERT_TRUE(host.port.Open());

    for (std::uint8_t value : AllByteValues())
        host.link.SendByte(value);
    ASSERT_TRUE(PumpUntil([&] { return host.port.WaitingCount() >= 256; }, 5s));

    EXPECT_EQ(host.board->ReceivedValues(), AllByteValues());
    EXPECT_EQ(ToBytes(host.port.ReadAllWaiting()), AllByteValues());
    const sim::LineSettings line = host.board->CurrentSettings();
    EXPECT_TRUE(line.raw);
    EXPECT_FALSE(line.softwareFlowControl);
    EXPECT_FALSE(line.hardwareFlowControl);
    EXPECT_EQ(line.baud, 9600);
}

TEST(Link, DropsWhatArrivedBeforeTheOpen)
{
    HostSide host;
    host.board->SendToHost({0x01, 0x02, 0x03});
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(host.port.Open());
    PumpUntil([] { return false; }, 50ms);
    EXPECT_EQ(host.port.WaitingCount(), 0);
}

TEST(Link, WaitForByteComparesOnlyTheFirstWaitingByteAndDropsTheRest)
{
    HostSide host;
    ASSERT_TRUE(host.port.Open());
    host.board->SendToHost({0x11, 0x22, 0x33});
    ASSERT_TRUE(PumpUntil([&] { return host.port.WaitingCount() == 3; }, 2s));

    // Nothing more comes: the wait must not sleep until its timer fires.
    const auto start = Clock::now();
    EXPECT_EQ(host.link.WaitForByte(0x11), ReplyResult::Expected);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(host.port.WaitingCount(), 0);
}

TEST(Link, WaitForByteReturnsAtOnceOnAnotherByte)
{
    HostSide host;
    ASSERT_TRUE(host.port.Open());
    host.board->SendToHost({0x22, 0x11});
    const auto start = Clock::now();
    EXPECT_EQ(host.link.WaitForByte(0x11), ReplyResult::OtherByte);
    EXPECT_LT(MsSince(start), 500);
}

// The one case that waits out the full limit also measures what an idle
// wait costs: the pump must sleep, not spin.
TEST(Link, WaitForByteTimesOutAfterThreeSecondsWithoutBurningCpu)
{
    HostSide host;
    ASSERT_TRUE(host.port.Open());
    const auto cpuBefore = ProcessCpuTime();
    const auto start = Clock::now();
    EXPECT_EQ(host.link.WaitForByte(0x06), ReplyResult::NoReply);
    const double elapsed = MsSince(start);
    const auto cpu = ProcessCpuTime() - cpuBefore;
    EXPECT_GE(elapsed, 3000);
    EXPECT_LT(elapsed, 3300);
    EXPECT_LT(cpu, 100ms) << "an idle wait should cost next to no CPU";
    RecordProperty("idle_wait_cpu_us", static_cast<int>(cpu.count()));
}

// A pump that, in one pass, delivers a reply and the timeout together: the
// byte that is waiting must win over the flag.
class ReplyAndTimeoutTogether : public EventPump {
public:
    ReplyAndTimeoutTogether(HostSide &host, std::uint8_t value) : host_(host), value_(value) {}
    void Pump() override
    {
        host_.board->SendToHost({value_});
        PumpUntil([&] { return host_.port.WaitingCount() > 0; }, 2s);
        link->Timer4_Timer();
    }
    void PumpPending() override {}
    Link *link = nullptr;

private:
    HostSide &host_;
    std::uint8_t value_;
};

TEST(Link, CountsAByteWaitingWhenTheTimerHasAlreadyFired)
{
    HostSide host;
    ASSERT_TRUE(host.port.Open());
    ReplyAndTimeoutTogether pump(host, 0x06);
    Link link(host.port, pump);
    pump.link = &link;
    EXPECT_EQ(link.WaitForByte(0x06), ReplyResult::Expected);
    EXPECT_EQ(link.TimeoutFlag, 1);
}

TEST(Link, DelayIsNeverShort)
{
    HostSide host;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        host.link.Delay(10);
        const double elapsed = MsSince(start);
        EXPECT_GE(elapsed, 10.0);
        EXPECT_LT(elapsed, 50.0);
    }
}

// A board's port, and whatever a row puts beside it.
struct OpenStage {
    ~OpenStage()
    {
        if (lockHolder >= 0)
            ::close(lockHolder);
    }
    sim::TargetSim board;
    QString device = QString::fromStdString(board.SlavePath());
    QTemporaryDir dir;
    int lockHolder = -1;  // a descriptor of the device that another program has locked
};

// Ports an open must refuse, and the reason it must give; a port held by
// another program is in the fault matrix, through both front ends.
struct RefusedOpen {
    std::string name;
    // Prepares the stage and returns the name to open.
    std::function<QString(OpenStage &)> prepare;
    bool asUnprivilegedUser = false;
    const char *message;  // {port}: the name opened
};

void PrintTo(const RefusedOpen &row, std::ostream *out)
{
    *out << row.name;
}

// The effective user is "nobody" until destroyed; the saved user stays root,
// so the destructor can switch back.
struct AsUnprivilegedUser {
    static constexpr uid_t Nobody = 65534;
    AsUnprivilegedUser() { EXPECT_EQ(::seteuid(Nobody), 0); }
    ~AsUnprivilegedUser() { EXPECT_EQ(::seteuid(0), 0); }
};

std::vector<RefusedOpen> RefusedOpenRows()
{
    return {
        {"HeldWithAFileLockByAnotherProgram",
         [](OpenStage &stage) {
             stage.lockHolder = ::open(QFile::encodeName(stage.device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
             EXPECT_EQ(::flock(stage.lockHolder, LOCK_EX | LOCK_NB), 0);
             return stage.device;
         },
         false, "Cannot open {port}: it is in use by another program"},
        // A device of group dialout, mode 0660: what a user meets on Debian
        // before joining the group.
        {"NoPermission",
         [](OpenStage &stage) {
             const group *dialout = ::getgrnam("dialout");
             EXPECT_NE(dialout, nullptr);
             const QByteArray path = QFile::encodeName(stage.device);
             EXPECT_EQ(::chown(path.constData(), 0, dialout ? dialout->gr_gid : 0), 0);
             EXPECT_EQ(::chmod(path.constData(), 0660), 0);
             return stage.device;
         },
         true,
         "Cannot open {port}: permission denied (the device belongs to the group \"dialout\": add the user to that group, then log in again)"},
        // Any name for /dev/ptmx, which makes a new pseudo-terminal at every open.
        {"PseudoTerminalMultiplexerUnderAnotherName",
         [](OpenStage &stage) {
             const QString alias = stage.dir.filePath(QStringLiteral("port-alias"));
             EXPECT_TRUE(QFile::link(QStringLiteral("/dev/ptmx"), alias));
             return alias;
         },
         false,
         "Cannot open {port}: it is the pseudo-terminal multiplexer (/dev/ptmx), not a serial port"},
    };
}

class RefusedOpens : public ::testing::TestWithParam<RefusedOpen> {};

TEST_P(RefusedOpens, SayWhy)
{
    const RefusedOpen &row = GetParam();
    if (row.asUnprivilegedUser && ::geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    OpenStage stage;
    const QString name = row.prepare(stage);
    SerialPort port;
    port.SelectDevice(name);
    std::optional<AsUnprivilegedUser> nobody;
    if (row.asUnprivilegedUser)
        nobody.emplace();
    const auto opened = port.Open();
    nobody.reset();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().toStdString(), QString::fromUtf8(row.message).replace(QStringLiteral("{port}"), name).toStdString());
}

INSTANTIATE_TEST_SUITE_P(Table, RefusedOpens, ::testing::ValuesIn(RefusedOpenRows()),
                         [](const auto &info) { return info.param.name; });

TEST(Link, NamesAComWithNoDeviceBehindIt)
{
    SerialPort port([] { return QStringList{QStringLiteral("/dev/null-not-a-port")}; });
    port.SelectPort(3);
    const auto opened = port.Open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), QStringLiteral("Cannot open COM3: there is no serial device behind it"));
}

// An unplugged adapter: the wait must end at once, close the port, and not
// keep the CPU busy with the driver's repeated errors.
TEST(Link, HangUpDuringAWaitEndsItPromptly)
{
    sim::BoardScript script;
    script.hangUpAfter = 1;
    HostSide host(script);
    ASSERT_TRUE(host.port.Open());
    const auto cpuBefore = ProcessCpuTime();
    const auto start = Clock::now();
    host.link.SendByte(0x00);
    EXPECT_EQ(host.link.WaitForByte(0x00), ReplyResult::LinkDown);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_TRUE(host.port.IsLost());
    EXPECT_FALSE(host.port.IsOpen());
    EXPECT_EQ(host.port.LostReason().toStdString(), "the device was disconnected");
    // Further waits and delays return at once rather than loop on the error.
    EXPECT_EQ(host.link.WaitForByte(0x00), ReplyResult::LinkDown);
    host.link.Delay(10);
    PumpUntil([] { return false; }, 100ms);
    EXPECT_LT(ProcessCpuTime() - cpuBefore, 300ms);
}

TEST(Link, AbandonEndsAWaitAtOnce)
{
    HostSide host;
    ASSERT_TRUE(host.port.Open());
    QTimer::singleShot(50, &host.link, [&] { host.link.Abandon(); });
    const auto start = Clock::now();
    EXPECT_EQ(host.link.WaitForByte(0x06), ReplyResult::LinkDown);
    EXPECT_LT(MsSince(start), 1000);
}

}  // namespace
}  // namespace qw735::test
