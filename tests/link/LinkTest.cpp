// SPDX-License-Identifier: GPL-2.0-or-later
#include "ports/ComPort.h"
#include "tests/support/HostFixture.h"
#include "writer/BootHandshake.h"

#include <QFile>
#include <QTemporaryDir>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The stale bytes are at the port before the open (its input queue holds
// them); the open drops them, and what comes afterwards comes through.
TEST(Link, DropsWhatArrivedBeforeTheOpen)
{
    HostSide host;
    host.board->SendToHost({0x01, 0x02, 0x03});
    const int peek = ::open(host.board->SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int queued = 0;
    EXPECT_TRUE(PumpUntil([&] { return ::ioctl(peek, FIONREAD, &queued) == 0 && queued == 3; }, 2s));
    ::close(peek);
    ASSERT_TRUE(host.port.Open());
    host.board->SendToHost({0x04});
    ASSERT_TRUE(PumpUntil([&] { return host.port.WaitingCount() > 0; }, 2s));
    PumpUntil([] { return false; }, 20ms);
    EXPECT_EQ(host.port.ReadAllWaiting(), QByteArray("\x04"));
}

// Only the first waiting byte is compared, and at once: with nothing more
// to come, the wait must not sleep until its timer fires. The rest are
// dropped. Bytes passed over (late answers to earlier requests) come first
// and only as many as allowed; what came with the reply is kept aside.
TEST(Link, WaitForByteJudgesTheFirstWaitingByteAtOnce)
{
    const struct {
        std::vector<std::uint8_t> sent;
        int passOver;
        ReplyResult result;
        QByteArray cameWith;
    } rows[] = {
        {{0x11, 0x22, 0x33}, 0, ReplyResult::Expected, "\x22\x33"},
        {{0x22, 0x11}, 0, ReplyResult::OtherByte, "\x11"},
        {{0x00, 0x00, 0x11, 0x22}, 2, ReplyResult::Expected, "\x22"},
        {{0x00, 0x11}, 3, ReplyResult::Expected, ""},
        {{0x00, 0x22, 0x11}, 1, ReplyResult::OtherByte, "\x11"},
    };
    for (const auto &row : rows) {
        HostSide host;
        ASSERT_TRUE(host.port.Open());
        host.board->SendToHost(row.sent);
        ASSERT_TRUE(PumpUntil([&] { return host.port.WaitingCount() == static_cast<int>(row.sent.size()); }, 2s));
        const auto start = Clock::now();
        EXPECT_EQ(host.link.WaitForByte(0x11, Link::ReplyLimitMs, row.passOver), row.result);
        EXPECT_LT(MsSince(start), 3000);
        EXPECT_EQ(host.port.WaitingCount(), 0);
        EXPECT_EQ(host.link.CameWithLastReply(), row.cameWith);
    }
}

// Late answers passed over in one read leave the wait waiting for the reply
// in the next; the count allowed is for the whole wait.
TEST(Link, WaitForByteKeepsWaitingAfterBytesItPassedOver)
{
    HostSide host;
    ASSERT_TRUE(host.port.Open());
    host.board->SendToHost({0x00});
    QTimer::singleShot(50, [&] { host.board->SendToHost({0x00, 0x11}); });
    EXPECT_EQ(host.link.WaitForByte(0x11, Link::ReplyLimitMs, 2), ReplyResult::Expected);
    host.board->SendToHost({0x00});
    QTimer::singleShot(50, [&] { host.board->SendToHost({0x00, 0x11}); });
    EXPECT_EQ(host.link.WaitForByte(0x11, Link::ReplyLimitMs, 1), ReplyResult::OtherByte);
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
    EXPECT_LT(cpu, 100ms) << "an idle wait should cost next to no CPU";
    RecordProperty("idle_wait_cpu_us", static_cast<int>(cpu.count()));
    // The next wait starts with the flag cleared: a reply shortly after counts.
    QTimer::singleShot(50, [&] { host.board->SendToHost({0x06}); });
    EXPECT_EQ(host.link.WaitForByte(0x06), ReplyResult::Expected);
}

// A pump that, in one pass, delivers a reply and lets the timeout run out:
// the byte that is waiting must win over the flag.
class ReplyAndTimeoutTogether : public EventPump {
public:
    ReplyAndTimeoutTogether(HostSide &host, std::uint8_t value) : host_(host), value_(value) {}
    void Pump() override
    {
        host_.board->SendToHost({value_});
        PumpUntil([&] { return host_.port.WaitingCount() > 0 && link->TimedOut(); }, 2s);
    }
    void PumpPending() override {}
    Link *link = nullptr;

private:
    HostSide &host_;
    std::uint8_t value_;
};

TEST(Link, CountsAByteWaitingWhenTheTimerHasAlreadyFired)
{
    HostSide host(Script([](auto &s) { s.syncAfterZeros = 0; }));  // only the pump answers
    ASSERT_TRUE(host.port.Open());
    ReplyAndTimeoutTogether pump(host, 0xAA);
    Link link(host.port, pump);
    pump.link = &link;
    EXPECT_EQ(link.WaitForByte(0xAA, 50), ReplyResult::Expected);
    EXPECT_TRUE(link.TimedOut());
    // The boot mode's synchronisation loop looks at its flag before the
    // events, but at the waiting count after them: the same pass answers it.
    EXPECT_EQ(BootHandshake(link, host.steps).outcome, HandshakeOutcome::Accepted);
    host.board->WaitForReceived(3, 50ms);
    EXPECT_EQ(host.board->ReceivedValues(), (std::vector<std::uint8_t>{0x00, 0x55}));
}

// What each order of a pumped wait answers when one pass of the pump brings
// more than one answer, or when the wait is over before it begins; and that
// a pass sleeps in the pump only while nothing is decided.
TEST(PumpUntil, AsksInTheOrderTheWaitIsDesignedFor)
{
    struct State {
        bool held = false, timedOut = false, down = false;
    };
    // Every pass brings `brings`; a pass that slept is 'P', one that ran only
    // what was pending 'p'.
    struct ScriptedPump : EventPump {
        State state, brings;
        std::string passes;
        void Pump() override { Pass('P'); }
        void PumpPending() override { Pass('p'); }
        void Pass(char kind)
        {
            passes += kind;
            state.held |= brings.held;
            state.timedOut |= brings.timedOut;
            state.down |= brings.down;
        }
    };
    using enum WaitOrder;
    const struct {
        const char *name;
        WaitOrder order;
        State before, brings;
        WaitEnd end;
        const char *passes;
    } rows[] = {
        {"ReplyWinsOverTheTimeout", EventsFirst, {}, {.held = true, .timedOut = true}, WaitEnd::Held, "P"},
        {"ALostLineWinsOverTheReply", EventsFirst, {}, {.held = true, .down = true}, WaitEnd::Down, "P"},
        {"AReplyWaitingAlreadyOnlyRunsWhatIsPending", EventsFirst, {.held = true}, {}, WaitEnd::Held, "p"},
        {"SyncAnsweredInThePassTheIntervalRanOut", TimeFirst, {}, {.held = true, .timedOut = true}, WaitEnd::Held, "P"},
        {"SyncIntervalOverBeforeThePassCostsAnAttempt", TimeFirst, {.timedOut = true}, {.held = true}, WaitEnd::TimedOut, ""},
        {"DelayOverBeforeItBeginsPumpsNothing", HeldFirst, {.held = true, .down = true}, {}, WaitEnd::Held, ""},
        {"ServerSilentUntilTheLimit", HeldFirst, {}, {.timedOut = true}, WaitEnd::TimedOut, "P"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedPump pump;
        pump.state = row.before;
        pump.brings = row.brings;
        const WaitEnd end = PumpUntil(pump, row.order,
                                      {[&] { return pump.state.held; }, [&] { return pump.state.timedOut; }, [&] { return pump.state.down; }});
        EXPECT_EQ(end, row.end);
        EXPECT_EQ(pump.passes, row.passes);
    }
}

TEST(Link, DelayIsNeverShort)
{
    HostSide host;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        host.link.Delay(10);
        EXPECT_GE(MsSince(start), 10.0);
    }
}

// The effective user is "nobody" until destroyed; the saved user stays root,
// so the destructor can switch back.
struct AsUnprivilegedUser {
    static constexpr uid_t Nobody = 65534;
    AsUnprivilegedUser() { EXPECT_EQ(::seteuid(Nobody), 0); }
    ~AsUnprivilegedUser() { EXPECT_EQ(::seteuid(0), 0); }
};

// Ports an open must refuse, the reason it must give ({port}: the name
// opened) and its kind; a port held by another program is in the fault
// matrix, through both front ends.
TEST(Link, RefusedOpensSayWhy)
{
    using enum PortError::Kind;
    const struct {
        const char *name;
        // Prepares the board's `device` and returns the name to open; `holder`
        // gets a descriptor that another program would hold.
        std::function<QString(const QString &device, const QTemporaryDir &dir, int &holder)> prepare;
        bool asUnprivilegedUser;
        const char *message;
        PortError::Kind kind;
    } rows[] = {
        {"HeldWithAFileLockByAnotherProgram",
         [](const QString &device, const QTemporaryDir &, int &holder) {
             holder = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
             EXPECT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
             return device;
         },
         false, "Cannot open {port}: it is in use by another program", InUse},
        // A device of group dialout, mode 0660: what a user meets on Debian
        // before joining the group.
        {"NoPermission",
         [](const QString &device, const QTemporaryDir &, int &) {
             const group *dialout = ::getgrnam("dialout");
             EXPECT_NE(dialout, nullptr);
             const QByteArray path = QFile::encodeName(device);
             EXPECT_EQ(::chown(path.constData(), 0, dialout ? dialout->gr_gid : 0), 0);
             EXPECT_EQ(::chmod(path.constData(), 0660), 0);
             return device;
         },
         true,
         "Cannot open {port}: permission denied (the device belongs to the group \"dialout\": add the user to that group, then log in again)",
         NoPermission},
        // Any name for /dev/ptmx, which makes a new pseudo-terminal at every open.
        {"PseudoTerminalMultiplexerUnderAnotherName",
         [](const QString &, const QTemporaryDir &dir, int &) {
             const QString alias = dir.filePath(QStringLiteral("port-alias"));
             EXPECT_TRUE(QFile::link(QStringLiteral("/dev/ptmx"), alias));
             return alias;
         },
         false, "Cannot open {port}: it is the pseudo-terminal multiplexer (/dev/ptmx), not a serial port", NotASerialPort},
        // Devices and files that are no terminal at all.
        {"NullDevice", [](const QString &, const QTemporaryDir &, int &) { return QStringLiteral("/dev/null"); }, false,
         "Cannot open {port}: {port} is not a serial port", NotASerialPort},
        {"RegularFile",
         [](const QString &, const QTemporaryDir &dir, int &) { return WriteFile(dir, QStringLiteral("port.txt"), "x"); }, false,
         "Cannot open {port}: {port} is not a serial port", NotASerialPort},
        {"Missing", [](const QString &, const QTemporaryDir &dir, int &) { return dir.filePath(QStringLiteral("ttyGone")); }, false,
         "Cannot open {port}: no such device", NoSuchDevice},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.asUnprivilegedUser && ::geteuid() != 0)
            continue;  // acting as another user needs root
        sim::TargetSim board;
        QTemporaryDir dir;
        int holder = -1;
        const QString name = row.prepare(QString::fromStdString(board.SlavePath()), dir, holder);
        SerialPort port;
        port.SelectDevice(name);
        std::optional<AsUnprivilegedUser> nobody;
        if (row.asUnprivilegedUser)
            nobody.emplace();
        const auto opened = port.Open();
        nobody.reset();
        if (holder >= 0)
            ::close(holder);
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().text.toStdString(), QString::fromUtf8(row.message).replace(QStringLiteral("{port}"), name).toStdString());
        EXPECT_EQ(opened.error().kind, row.kind);
    }
    ComPort port([] { return QStringList{QStringLiteral("/dev/null-not-a-port")}; });
    port.SelectPort(3);
    const auto opened = port.Open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().text, QStringLiteral("Cannot open COM3: there is no serial device behind it"));
    EXPECT_EQ(opened.error().kind, NoDeviceBehindCom);
    // An open port holds the device's lock itself, for as long as it is open:
    // that is what refuses a second writer under any name, and root.
    sim::TargetSim board;
    SerialPort held;
    held.SelectDevice(QString::fromStdString(board.SlavePath()));
    ASSERT_TRUE(held.Open());
    const int other = ::open(board.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
}

}  // namespace
}  // namespace qw735::test
