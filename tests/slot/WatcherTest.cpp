// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/TargetSim.h"
#include "tests/support/PlugRig.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

// The device watcher in a machine of the test's own (PlugRig): the probe
// program watches the row's slots inside the namespace and prints what the
// watcher reports; the row plugs and unplugs simulated boards from outside
// and reads the lines as they come. No row's machine has /dev/serial at
// first (as one where no USB serial adapter was plugged since boot), and
// an unlink removes the folders it leaves empty, as udev does: every row
// also checks that a folder made after the start is watched, and one
// removed and made again is watched again.
//
// A row's script, a command a line:
//   start                 starts the probe on the row's slots
//   link NAME K           links NAME (under /dev) to board K, as udev does
//   unlink NAME           removes it, and the folders left empty
//   plug TTY K, unplug TTY  a USB adapter whose node leads to board K
//   expect LINE           the next line the probe prints; {K} is board K's path
//   expect-any LINE       in a run of these, the lines in any order
//   quiet MS              no line within MS milliseconds
//   wait MS               lets MS milliseconds pass
//   untouched K           board K received nothing and nobody but this test holds it
struct WatchRow {
    const char *name;
    QStringList slotTexts;
    int boards;
    const char *script;
    int settleMs = 300;
};

void PrintTo(const WatchRow &row, std::ostream *out)
{
    *out << row.name;
}

const WatchRow Rows[] = {
    {"OneSlot", {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0"}, 1, R"(
start
expect watching
link /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0 0
expect appeared 0 /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0 -> {0}
expect ready 0 /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0
unlink /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0
expect gone 0 /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0
quiet 400
untouched 0
)"},
    {"SeveralSlotsAtOnce", {"/dev/serial/by-path/usb-0:1.1", "/dev/serial/by-path/usb-0:1.2", "/dev/serial/by-path/usb-0:1.3"}, 3, R"(
start
expect watching
link /dev/serial/by-path/usb-0:1.1 0
link /dev/serial/by-path/usb-0:1.2 1
link /dev/serial/by-path/usb-0:1.3 2
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {0}
expect appeared 1 /dev/serial/by-path/usb-0:1.2 -> {1}
expect appeared 2 /dev/serial/by-path/usb-0:1.3 -> {2}
expect-any ready 0 /dev/serial/by-path/usb-0:1.1
expect-any ready 1 /dev/serial/by-path/usb-0:1.2
expect-any ready 2 /dev/serial/by-path/usb-0:1.3
unlink /dev/serial/by-path/usb-0:1.2
expect gone 1 /dev/serial/by-path/usb-0:1.2
quiet 400
)"},
    {"PatternSlot", {"/dev/serial/by-path/*usb-0:1.*"}, 2, R"(
start
expect watching
link /dev/serial/by-path/pci-0000:00:14.0-usb-0:2.1:1.0-port0 1
link /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.3:1.0-port0 0
expect appeared 0 /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.3:1.0-port0 -> {0}
expect ready 0 /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.3:1.0-port0
quiet 400
untouched 1
unlink /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.3:1.0-port0
expect gone 0 /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.3:1.0-port0
)"},
    // The first device keeps the slot; the second is refused, once, and
    // does not take the slot over when the first goes: it is taken only
    // when it is plugged again.
    {"TwoDevicesOnOnePatternSlot", {"/dev/serial/by-path/*usb-0:1.*"}, 2, R"(
start
expect watching
link /dev/serial/by-path/usb-0:1.1 0
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {0}
expect ready 0 /dev/serial/by-path/usb-0:1.1
link /dev/serial/by-path/usb-0:1.4 1
expect refused 0 /dev/serial/by-path/usb-0:1.4: the slot has a device 0
unlink /dev/serial/by-path/usb-0:1.1
expect gone 0 /dev/serial/by-path/usb-0:1.1
quiet 700
untouched 1
unlink /dev/serial/by-path/usb-0:1.4
link /dev/serial/by-path/usb-0:1.4 1
expect appeared 0 /dev/serial/by-path/usb-0:1.4 -> {1}
expect ready 0 /dev/serial/by-path/usb-0:1.4
)"},
    {"DeviceOnNoSlot", {"/dev/serial/by-path/usb-0:1.1"}, 1, R"(
start
expect watching
link /dev/serial/by-path/usb-0:2.1 0
link /dev/serial/by-id/usb-Bench_Works_Dual_UART_BW0001-if00-port0 0
plug ttyUSB0 0
quiet 700
untouched 0
)"},
    {"BoardLeftPlugged", {"/dev/serial/by-path/usb-0:1.1"}, 1, R"(
start
expect watching
link /dev/serial/by-path/usb-0:1.1 0
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {0}
expect ready 0 /dev/serial/by-path/usb-0:1.1
quiet 1500
)"},
    // The same board plugged again is a new appearance, also when its link
    // is removed and made again faster than the watcher reads. Another
    // adapter keeps the folder there.
    {"UnplugAndReplug", {"/dev/serial/by-path/usb-0:1.1"}, 2, R"(
link /dev/serial/by-path/usb-0:2.1 1
start
expect watching
link /dev/serial/by-path/usb-0:1.1 0
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {0}
expect ready 0 /dev/serial/by-path/usb-0:1.1
unlink /dev/serial/by-path/usb-0:1.1
expect gone 0 /dev/serial/by-path/usb-0:1.1
link /dev/serial/by-path/usb-0:1.1 0
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {0}
expect ready 0 /dev/serial/by-path/usb-0:1.1
unlink /dev/serial/by-path/usb-0:1.1
link /dev/serial/by-path/usb-0:1.1 0
expect gone 0 /dev/serial/by-path/usb-0:1.1
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {0}
expect ready 0 /dev/serial/by-path/usb-0:1.1
)"},
    {"GoneWithinTheSettleTime", {"/dev/serial/by-path/usb-0:1.1"}, 1, R"(
start
expect watching
link /dev/serial/by-path/usb-0:1.1 0
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {0}
wait 200
unlink /dev/serial/by-path/usb-0:1.1
expect gone 0 /dev/serial/by-path/usb-0:1.1
quiet 1300
)", 1000},
    // A link replaced by one to another device is that device; one made
    // again to the same device (udev running its rules again) is nothing.
    {"LinkReplaced", {"/dev/serial/by-path/usb-0:1.1"}, 2, R"(
start
expect watching
link /dev/serial/by-path/usb-0:1.1 0
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {0}
expect ready 0 /dev/serial/by-path/usb-0:1.1
link /dev/serial/by-path/usb-0:1.1 1
expect gone 0 /dev/serial/by-path/usb-0:1.1
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {1}
expect ready 0 /dev/serial/by-path/usb-0:1.1
link /dev/serial/by-path/usb-0:1.1 1
quiet 700
)"},
    {"PresentAtStart", {"/dev/serial/by-path/usb-0:1.1", "/dev/serial/by-path/usb-0:1.2"}, 1, R"(
link /dev/serial/by-path/usb-0:1.2 0
start
expect appeared 1 /dev/serial/by-path/usb-0:1.2 -> {0} at start
expect watching
expect ready 1 /dev/serial/by-path/usb-0:1.2
)"},
    // A by-path and a by-id link of one adapter: the device is the slot's
    // whose link came first, and refused on the other.
    {"OneDeviceOnTwoSlots", {"/dev/serial/by-path/usb-0:1.1", "/dev/serial/by-id/usb-Bench_Works_Dual_UART_BW0001-if00-port0"}, 1, R"(
start
expect watching
link /dev/serial/by-path/usb-0:1.1 0
expect appeared 0 /dev/serial/by-path/usb-0:1.1 -> {0}
link /dev/serial/by-id/usb-Bench_Works_Dual_UART_BW0001-if00-port0 0
expect-any refused 1 /dev/serial/by-id/usb-Bench_Works_Dual_UART_BW0001-if00-port0: on another slot 0
expect-any ready 0 /dev/serial/by-path/usb-0:1.1
)"},
    {"ComSlot", {"COM1"}, 1, R"(
start
expect watching
plug ttyUSB0 0
expect appeared 0 /dev/ttyUSB0 -> {0}
expect ready 0 /dev/ttyUSB0
unplug ttyUSB0
expect gone 0 /dev/ttyUSB0
quiet 400
)"},
    // The adapter behind COM1 goes and the next one becomes COM1: it was
    // plugged long ago, on no slot, and is left alone; one plugged into the
    // first place again is COM1's.
    {"ComRenumbered", {"COM1"}, 3, R"(
plug ttyUSB0 0
plug ttyUSB1 1
start
expect appeared 0 /dev/ttyUSB0 -> {0} at start
expect watching
expect ready 0 /dev/ttyUSB0
unplug ttyUSB0
expect gone 0 /dev/ttyUSB0
expect refused 0 /dev/ttyUSB1: renumbered
quiet 400
untouched 1
plug ttyUSB0 2
expect appeared 0 /dev/ttyUSB0 -> {2}
expect ready 0 /dev/ttyUSB0
)"},
    {"ComSlotAndItsNode", {"COM1", "ttyUSB0"}, 1, R"(
start
expect watching
plug ttyUSB0 0
expect appeared 1 /dev/ttyUSB0 -> {0}
expect refused 0 /dev/ttyUSB0: on another slot 1
expect ready 1 /dev/ttyUSB0
)"},
};

// The probe in the rig's namespace, its lines read as they come.
class WatchRun {
public:
    WatchRun(const PlugRig &rig, const QStringList &args)
    {
        const QStringList command = rig.InNamespace(QStringList{QStringLiteral(QW735_WATCH_PROBE_PATH)} + args);
        process_.start(command.first(), command.mid(1));
        EXPECT_TRUE(process_.waitForStarted());
    }
    ~WatchRun()
    {
        process_.closeWriteChannel();  // the probe ends with its stdin
        if (!process_.waitForFinished(3000))
            process_.kill();
        process_.waitForFinished(3000);
    }

    // The next line; empty when none came within `limit`.
    QString Next(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!process_.canReadLine()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || !process_.waitForReadyRead(static_cast<int>(left.count())))
                break;
        }
        return process_.canReadLine() ? QString::fromUtf8(process_.readLine()).chopped(1) : QString();
    }
    QString Errors() { return QString::fromUtf8(process_.readAllStandardError()); }

private:
    QProcess process_;
};

class DeviceWatcherRows : public testing::TestWithParam<WatchRow> {};

TEST_P(DeviceWatcherRows, ReportsWhatIsPluggedOnItsSlots)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a mount namespace needs root";
    const WatchRow &row = GetParam();
    PlugRig rig;
    std::vector<std::unique_ptr<sim::TargetSim>> boards;
    for (int i = 0; i < row.boards; ++i)
        boards.push_back(std::make_unique<sim::TargetSim>());
    const auto board = [&](const QString &index) { return QString::fromStdString(boards.at(index.toUInt())->SlavePath()); };
    const auto filled = [&](QString line) {
        for (int i = 0; i < row.boards; ++i)
            line.replace(QStringLiteral("{%1}").arg(i), board(QString::number(i)));
        return line;
    };

    std::unique_ptr<WatchRun> run;
    QStringList unordered;  // a run of expect-any lines not yet met
    const auto meetUnordered = [&] {
        while (!unordered.isEmpty()) {
            const QString line = run->Next(5s);
            ASSERT_TRUE(unordered.removeOne(line)) << "got \"" << line.toStdString() << "\", expected one of \""
                                                   << unordered.join(QStringLiteral("\", \"")).toStdString() << '"';
        }
    };
    for (const QString &text : QString::fromLatin1(row.script).split(u'\n', Qt::SkipEmptyParts)) {
        SCOPED_TRACE(text.toStdString());
        const QString command = text.section(u' ', 0, 0);
        const QString rest = text.section(u' ', 1);
        const QStringList words = rest.split(u' ');
        if (command != u"expect-any")
            meetUnordered();
        if (command == u"start") {
            run = std::make_unique<WatchRun>(rig, QStringList{QStringLiteral("--settle"), QString::number(row.settleMs)} + row.slotTexts);
        } else if (command == u"link") {
            rig.Link(words[0], board(words[1]));
        } else if (command == u"unlink") {
            rig.Unlink(words[0]);
        } else if (command == u"plug") {
            rig.PlugAdapter(words[0], board(words[1]));
        } else if (command == u"unplug") {
            rig.UnplugAdapter(words[0]);
        } else if (command == u"expect") {
            ASSERT_EQ(run->Next(5s).toStdString(), filled(rest).toStdString()) << run->Errors().toStdString();
        } else if (command == u"expect-any") {
            unordered << filled(rest);
        } else if (command == u"quiet") {
            EXPECT_EQ(run->Next(std::chrono::milliseconds(rest.toInt())).toStdString(), "");
        } else if (command == u"wait") {
            std::this_thread::sleep_for(std::chrono::milliseconds(rest.toInt()));
        } else if (command == u"untouched") {
            EXPECT_TRUE(boards.at(rest.toUInt())->Received().empty());
            EXPECT_TRUE(HoldersOf(board(rest)).isEmpty());
        } else {
            FAIL() << "no such command";
        }
    }
    meetUnordered();
}

INSTANTIATE_TEST_SUITE_P(Watcher, DeviceWatcherRows, testing::ValuesIn(Rows),
                         [](const testing::TestParamInfo<WatchRow> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qw735::test
