// SPDX-License-Identifier: GPL-2.0-or-later
#include "slot/DeviceWatcher.h"
#include "slot/ServerProbe.h"
#include "slot/Slot.h"
#include "slot/SlotCycles.h"
#include "tests/support/HostFixture.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <unistd.h>
#include <vector>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

// What a slot's text names, in a working folder of /srv/station.
TEST(Slot, ReadsEveryKindOfSlot)
{
    const struct {
        const char *text;
        Slot::Kind kind;
        const char *key;
    } rows[] = {
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0", Slot::Kind::Device,
         "path:/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0"},
        {"ttyUSB0", Slot::Kind::Device, "path:/dev/ttyUSB0"},
        {"boards/../rig/left", Slot::Kind::Device, "path:/srv/station/rig/left"},
        {"/dev/serial/by-path/*usb-0:1.*", Slot::Kind::Pattern, "pattern:/dev/serial/by-path/*usb-0:1.*"},
        {"ttyUSB[0-3]", Slot::Kind::Pattern, "pattern:/dev/ttyUSB[0-3]"},
        {"com3", Slot::Kind::Com, "com:3"},
        {"rfc2217://Station-4.example:07001", Slot::Kind::Remote, "remote:station-4.example:7001"},
        {"rfc2217+tls://192.0.2.7:7002/", Slot::Kind::Remote, "remote:192.0.2.7:7002"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        const auto slot = Slot::Parse(QString::fromUtf8(row.text), QStringLiteral("/srv/station"));
        ASSERT_TRUE(slot) << slot.error().text.toStdString();
        EXPECT_EQ(slot->SlotKind(), row.kind);
        EXPECT_EQ(slot->Key().toStdString(), row.key);
        EXPECT_EQ(slot->Text().toStdString(), row.text);
    }
    EXPECT_TRUE(Slot::Parse(QStringLiteral("rfc2217+tls://192.0.2.7:7002"))->IsTls());
    EXPECT_FALSE(Slot::Parse(QStringLiteral("rfc2217://192.0.2.7:7002"))->IsTls());
}

TEST(Slot, RefusesTextsThatNameNoSlot)
{
    const struct {
        const char *text;
        SlotError::Kind kind;
        const char *message;
    } rows[] = {
        {"", SlotError::Kind::Empty, "the slot name is empty"},
        {"COM11", SlotError::Kind::ComOutOfRange, "COM11 is out of range: the Com numbers are COM1..COM10"},
        {"rfc2217://station", SlotError::Kind::NotARemoteSlot, "rfc2217://station is no remote slot: write rfc2217://HOST:PORT, PORT 1..65535"},
        {"rfc2217+tls://station:7001/x", SlotError::Kind::NotARemoteSlot,
         "rfc2217+tls://station:7001/x is no remote slot: write rfc2217+tls://HOST:PORT, PORT 1..65535"},
        {"/dev/serial/*/usb-0:1.1", SlotError::Kind::WildcardInFolder,
         "/dev/serial/*/usb-0:1.1 has a wildcard in a folder's name: a slot's pattern may have them in its last name only"},
        {"/dev/serial/by-path/", SlotError::Kind::FolderOnly,
         "/dev/serial/by-path/ names a folder: a slot is a device in it, or a pattern such as /dev/serial/by-path/*"},
        {"..", SlotError::Kind::FolderOnly, ".. names a folder: a slot is a device in it, or a pattern such as /srv/*"},
        {"/dev/serial/\x1b[2J/a", SlotError::Kind::WildcardInFolder,
         "/dev/serial/\\x1B[2J/a has a wildcard in a folder's name: a slot's pattern may have them in its last name only"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        const auto slot = Slot::Parse(QString::fromUtf8(row.text), QStringLiteral("/srv/station"));
        ASSERT_FALSE(slot);
        EXPECT_EQ(slot.error().kind, row.kind);
        EXPECT_EQ(slot.error().text.toStdString(), row.message);
    }
}

TEST(Slot, RefusesTwoTextsForOnePlace)
{
    const struct {
        QStringList texts;
        const char *message;
    } rows[] = {
        {{"COM1", "/dev/ttyUSB1", "com1"}, "COM1 and com1 name the same slot"},
        {{"/dev/ttyUSB0", "ttyUSB0"}, "/dev/ttyUSB0 and ttyUSB0 name the same slot"},
        {{"/dev/serial/by-path/a", "/dev/serial/by-id/../by-path/a"}, "/dev/serial/by-path/a and /dev/serial/by-id/../by-path/a name the same slot"},
        {{"rfc2217://Station:7001", "RFC2217://station:07001/"}, "rfc2217://Station:7001 and RFC2217://station:07001/ name the same slot"},
    };
    for (const auto &row : rows) {
        const auto parsed = ParseSlots(row.texts);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(parsed.error().kind, SlotError::Kind::NamedTwice);
        EXPECT_EQ(parsed.error().text.toStdString(), row.message);
    }
    const auto distinct = ParseSlots({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("/dev/serial/by-path/*")});
    ASSERT_TRUE(distinct);
    EXPECT_EQ(distinct->size(), 3u);
}

// A pattern holds the names it matches in its folder, never a dotted name
// (udev's temporary link, renamed into place a moment later).
TEST(Slot, APatternHoldsTheNamesItMatches)
{
    const Slot slot = *Slot::Parse(QStringLiteral("/dev/serial/by-path/*usb-0:1.*"));
    EXPECT_EQ(slot.Folder().toStdString(), "/dev/serial/by-path");
    EXPECT_TRUE(slot.Holds(QStringLiteral("pci-0000:00:14.0-usb-0:1.2:1.0-port0")));
    EXPECT_FALSE(slot.Holds(QStringLiteral("pci-0000:00:14.0-usb-0:2.1:1.0-port0")));
    EXPECT_FALSE(slot.Holds(QStringLiteral(".#pci-0000:00:14.0-usb-0:1.2:1.0-port0a41f")));
    const Slot device = *Slot::Parse(QStringLiteral("/dev/serial/by-path/usb-0:1.2"));
    EXPECT_TRUE(device.Holds(QStringLiteral("usb-0:1.2")));
    EXPECT_FALSE(device.Holds(QStringLiteral("usb-0:1.20")));
}

// Each slot's cycle, from the watcher's reports and the writes' ends. After
// every event the run asks which writes are due and starts them; `after`
// is then each slot's state (Empty, Settling, Ready, Writing, written:
// Done), and "finished" when the run may end.
TEST(SlotCycles, FollowsEachSlotFromPlugToUnplug)
{
    struct Step {
        const char *event;
        const char *after;
    };
    const struct {
        const char *name;
        int slotCount;
        int count;
        std::vector<Step> steps;
    } rows[] = {
        {"PluggedWrittenUnplugged", 1, 0, {{"appeared 0", "S"}, {"ready 0", "W"}, {"board 0", "D"}, {"gone 0", "E"}}},
        {"LeftPluggedIsWrittenOnce", 1, 0, {{"appeared 0", "S"}, {"ready 0", "W"}, {"board 0", "D"}, {"ready 0", "D"}, {"board 0", "D"}}},
        {"GoneWhileSettling", 1, 0, {{"appeared 0", "S"}, {"gone 0", "E"}, {"ready 0", "E"}}},
        {"PluggedAgainIsWrittenAgain", 1, 0, {{"appeared 0", "S"}, {"ready 0", "W"}, {"board 0", "D"}, {"gone 0", "E"}, {"appeared 0", "S"}, {"ready 0", "W"}}},
        {"GoneWhileWriting", 1, 0, {{"appeared 0", "S"}, {"ready 0", "W"}, {"gone 0", "W"}, {"board 0", "E"}}},
        // The next board is plugged before the lost write has ended.
        {"PluggedWhileTheLostWriteEnds", 1, 0, {{"ready 0", "E"}, {"appeared 0", "S"}, {"ready 0", "W"}, {"gone 0", "W"}, {"appeared 0", "W"}, {"ready 0", "W"}, {"board 0", "W"}, {"board 0", "D"}}},
        {"SlotsWrittenAtOnce", 3, 0, {{"appeared 0", "S E E"}, {"appeared 2", "S E S"}, {"ready 2", "S E W"}, {"ready 0", "W E W"}, {"board 2", "W E D"}}},
        {"CountEndsTheRun", 2, 1, {{"appeared 0", "S E"}, {"appeared 1", "S S"}, {"ready 0", "W S"}, {"ready 1", "W R"}, {"board 0", "D R finished"}}},
        {"NoBoardDoesNotCount", 2, 1, {{"appeared 0", "S E"}, {"appeared 1", "S S"}, {"ready 0", "W S"}, {"ready 1", "W R"}, {"no-board 0", "D W"}, {"gone 0", "E W"}, {"board 1", "E D finished"}}},
        {"StopLetsWritesFinish", 2, 0, {{"appeared 0", "S E"}, {"appeared 1", "S S"}, {"ready 0", "W S"}, {"ready 1", "W W"}, {"stop", "W W"}, {"board 0", "D W"}, {"gone 0", "E W"}, {"appeared 0", "S W"}, {"ready 0", "R W"}, {"board 1", "R D finished"}}},
        {"StoppedWithNothingWriting", 1, 0, {{"appeared 0", "S"}, {"stop", "S finished"}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        SlotCycles cycles(row.slotCount, row.count);
        for (const Step &step : row.steps) {
            SCOPED_TRACE(step.event);
            const QString event = QString::fromLatin1(step.event).section(u' ', 0, 0);
            const int slot = QString::fromLatin1(step.event).section(u' ', 1).toInt();
            if (event == u"appeared")
                cycles.Appeared(slot);
            else if (event == u"ready")
                cycles.Ready(slot);
            else if (event == u"gone")
                cycles.Gone(slot);
            else if (event == u"board")
                cycles.WriteEnded(slot, SlotCycles::End::Board);
            else if (event == u"no-board")
                cycles.WriteEnded(slot, SlotCycles::End::NoBoard);
            else if (event == u"stop")
                cycles.Stop();
            const std::vector<int> due = cycles.StartDue();
            QStringList states;
            for (int i = 0; i < row.slotCount; ++i)
                states << QString(QLatin1String("ESRWD")[static_cast<int>(cycles.StateOf(i))]);
            if (cycles.Finished())
                states << QStringLiteral("finished");
            EXPECT_EQ(states.join(u' ').toStdString(), step.after);
            EXPECT_EQ(cycles.WritesRunning(), states.count(QStringLiteral("W")));
        }
    }
}

// A remote slot's server, up or down as the test says, answering each try
// on the next pass of the event loop; it counts the tries.
struct StationServer : ServerProbe {
    bool up = false;
    bool answers = true;
    int tries = 0;
    void Try(const Slot &, std::function<void(bool)> done) override
    {
        ++tries;
        if (answers)
            QTimer::singleShot(0, [done, accepted = up] { done(accepted); });
    }
};

// What the watcher reports, as lines.
struct Reports {
    explicit Reports(DeviceWatcher &watcher)
    {
        QObject::connect(&watcher, &DeviceWatcher::Appeared, [this](int slot, const SlotDevice &device) {
            lines << QStringLiteral("appeared %1%2").arg(slot).arg(device.presentAtStart ? QStringLiteral(" at start") : QString());
        });
        QObject::connect(&watcher, &DeviceWatcher::Ready, [this](int slot, const SlotDevice &) { lines << QStringLiteral("ready %1").arg(slot); });
        QObject::connect(&watcher, &DeviceWatcher::Gone, [this](int slot, const SlotDevice &) { lines << QStringLiteral("gone %1").arg(slot); });
    }
    QStringList Take() { return std::exchange(lines, {}); }
    QStringList lines;
};

// A slot's folder removed and made again before the watcher looks is
// watched again: a board linked into it then is seen. The new folder may
// have the old one's identity (ext4 gives it the same inode number at
// once), yet the kernel ended the old watch with the old folder.
TEST(LocalSlot, AFolderMadeAgainIsWatchedAgain)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("by-path"));
    ASSERT_TRUE(QDir().mkpath(folder));
    sim::TargetSim board;
    DeviceWatcher watcher({*Slot::Parse(folder + QStringLiteral("/slot0"))}, WatchSettings{.settle = 10ms});
    Reports reports(watcher);
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(QDir().rmdir(folder));
    ASSERT_TRUE(QDir().mkdir(folder));
    PumpUntil([] { return false; }, 100ms);
    ASSERT_EQ(::symlink(board.SlavePath().c_str(), QFile::encodeName(folder + QStringLiteral("/slot0")).constData()), 0);
    EXPECT_TRUE(PumpUntil([&] { return reports.lines.size() >= 2; }, 2s));
    EXPECT_EQ(reports.Take(), (QStringList{QStringLiteral("appeared 0"), QStringLiteral("ready 0")}));
}

constexpr auto Interval = 60ms;

std::vector<Slot> RemoteSlot()
{
    return {*Slot::Parse(QStringLiteral("rfc2217://127.0.0.1:7001"))};
}

// No plug event: the server is tried every interval until it accepts; its
// board is ready at once (nothing settles), and the server is left alone
// while the board is written.
TEST(RemoteSlot, IsReadyWhenItsServerAccepts)
{
    StationServer server;
    DeviceWatcher watcher(RemoteSlot(), WatchSettings{.settle = 500ms, .pollInterval = Interval, .probe = &server});
    Reports reports(watcher);
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(PumpUntil([&] { return server.tries >= 3; }, 2s));
    EXPECT_EQ(reports.Take(), QStringList());
    server.up = true;
    ASSERT_TRUE(PumpUntil([&] { return !reports.lines.isEmpty(); }, 2s));
    EXPECT_EQ(reports.Take(), (QStringList{QStringLiteral("appeared 0"), QStringLiteral("ready 0")}));
    EXPECT_EQ(watcher.DeviceOn(0)->device.toStdString(), "rfc2217://127.0.0.1:7001");
    const int tries = server.tries;
    PumpUntil([] { return false; }, 5 * Interval);
    EXPECT_EQ(server.tries, tries);
}

// After a board was written, the server is tried until it stops accepting:
// the board is gone then, and the next is waited for.
TEST(RemoteSlot, AWrittenBoardIsGoneWhenItsServerStopsAccepting)
{
    StationServer server;
    server.up = true;
    DeviceWatcher watcher(RemoteSlot(), WatchSettings{.pollInterval = Interval, .probe = &server});
    Reports reports(watcher);
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(PumpUntil([&] { return reports.lines.size() == 2; }, 2s));
    EXPECT_EQ(reports.Take(), (QStringList{QStringLiteral("appeared 0 at start"), QStringLiteral("ready 0")}));
    watcher.WriteEnded(0, true);
    const int tries = server.tries;
    ASSERT_TRUE(PumpUntil([&] { return server.tries >= tries + 3; }, 2s));
    EXPECT_EQ(reports.Take(), QStringList());
    server.up = false;
    ASSERT_TRUE(PumpUntil([&] { return !reports.lines.isEmpty(); }, 2s));
    EXPECT_EQ(reports.Take(), QStringList{QStringLiteral("gone 0")});
    server.up = true;
    ASSERT_TRUE(PumpUntil([&] { return reports.lines.size() == 2; }, 2s));
    EXPECT_EQ(reports.Take(), (QStringList{QStringLiteral("appeared 0"), QStringLiteral("ready 0")}));
}

// When no board answered behind the server, the slot is empty at once and
// the server is tried again after the interval, not sooner.
TEST(RemoteSlot, WithNoBoardIsTriedAgainAfterTheInterval)
{
    StationServer server;
    server.up = true;
    DeviceWatcher watcher(RemoteSlot(), WatchSettings{.pollInterval = Interval, .probe = &server});
    Reports reports(watcher);
    ASSERT_TRUE(watcher.Start());
    ASSERT_TRUE(PumpUntil([&] { return reports.lines.size() == 2; }, 2s));
    reports.Take();
    const auto ended = std::chrono::steady_clock::now();
    watcher.WriteEnded(0, false);
    EXPECT_EQ(reports.Take(), QStringList{QStringLiteral("gone 0")});
    ASSERT_TRUE(PumpUntil([&] { return reports.lines.size() == 2; }, 2s));
    // Qt's coarse timers, which the polling uses, may fire up to 5% early,
    // and they count whole milliseconds.
    EXPECT_GE(std::chrono::steady_clock::now() - ended, Interval * 19 / 20 - 1ms);
    EXPECT_EQ(reports.Take(), (QStringList{QStringLiteral("appeared 0"), QStringLiteral("ready 0")}));
}

// A try that has not answered yet is never doubled: a server that hangs
// sees one connection, not one an interval.
TEST(RemoteSlot, TriesOneAtATime)
{
    StationServer server;
    server.answers = false;
    DeviceWatcher watcher(RemoteSlot(), WatchSettings{.pollInterval = Interval, .probe = &server});
    ASSERT_TRUE(watcher.Start());
    PumpUntil([] { return false; }, 5 * Interval);
    EXPECT_EQ(server.tries, 1);
}

}  // namespace
}  // namespace qw735::test
