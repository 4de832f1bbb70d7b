// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/TargetSim.h"
#include "tests/support/HostFixture.h"
#include "tests/support/PlugRig.h"

#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

// qw735-write --auto in a machine of the test's own (PlugRig), boards
// plugged and unplugged from outside by linking simulated boards'
// pseudo-terminals into /dev/serial/by-path as udev does. Each board serves
// write after write, so that a board written twice would show.
//
// A row's script, a command a line:
//   start                 starts qw735-write --auto on the row's slots
//   link NAME K           links NAME (under /dev) to board K
//   unlink NAME           removes it, and the folders left empty
//   result SLOT: MESSAGE  the next line on stdout, less its time and duration
//   line TEXT             the next line on stdout as it is
//   quiet MS              no line on stdout within MS milliseconds
//   busy K                waits until board K has heard a byte
//   ended K               waits until board K hung up
//   signal                Ctrl-C
//   exit N                the run ends with status N
//   untouched K           board K received nothing and nobody but this test holds it
//   records N             the report has N records, each with its slot and "auto":true
//   number K VALUE        board K was last sent VALUE at 0x100 (with @COUNTER@
//                         in the row's options: a counter file starting at 41)
struct AutoRow {
    const char *name;
    QStringList slotTexts;
    // A board each: "ok", "no-sync", "slow" (a cable's time), "hang-up"
    // (its adapter pulled after 30 bytes).
    QStringList boards;
    const char *script;
    QStringList extra = {};
};

void PrintTo(const AutoRow &row, std::ostream *out)
{
    *out << row.name;
}

const QString ByPath = QStringLiteral("/dev/serial/by-path/");

const AutoRow Rows[] = {
    {"OneSlot", {ByPath + "usb-0:1.1"}, {"ok"}, R"(
start
link /dev/serial/by-path/usb-0:1.1 0
result /dev/serial/by-path/usb-0:1.1: O.K.
signal
line 1 board written: 1 passed, 0 failed, yield 100.0%
line   /dev/serial/by-path/usb-0:1.1: 1 passed, 0 failed
exit 0
records 1
)"},
    {"SeveralSlotsAtOnce", {ByPath + "usb-0:1.1", ByPath + "usb-0:1.2", ByPath + "usb-0:1.3"}, {"slow", "slow", "slow"}, R"(
start
link /dev/serial/by-path/usb-0:1.1 0
link /dev/serial/by-path/usb-0:1.2 1
link /dev/serial/by-path/usb-0:1.3 2
busy 0
busy 1
busy 2
result-any /dev/serial/by-path/usb-0:1.1: O.K.
result-any /dev/serial/by-path/usb-0:1.2: O.K.
result-any /dev/serial/by-path/usb-0:1.3: O.K.
signal
line 3 boards written: 3 passed, 0 failed, yield 100.0%
exit 0
records 3
)"},
    {"PatternSlot", {ByPath + "*usb-0:1.*"}, {"ok", "ok"}, R"(
start
link /dev/serial/by-path/pci-0000:00:14.0-usb-0:2.1:1.0-port0 1
link /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.3:1.0-port0 0
result /dev/serial/by-path/*usb-0:1.* (/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.3:1.0-port0): O.K.
quiet 700
untouched 1
signal
exit 0
)"},
    {"DeviceOnNoSlotNeverOpened", {ByPath + "usb-0:1.1"}, {"ok"}, R"(
start
link /dev/serial/by-path/usb-0:2.1 0
link /dev/serial/by-id/usb-Bench_Works_Dual_UART_BW0001-if00-port0 0
quiet 1000
untouched 0
signal
line no board written
exit 0
records 0
)"},
    {"LeftPluggedWrittenOnce", {ByPath + "usb-0:1.1"}, {"ok"}, R"(
start
link /dev/serial/by-path/usb-0:1.1 0
result /dev/serial/by-path/usb-0:1.1: O.K.
quiet 1500
signal
line 1 board written: 1 passed, 0 failed, yield 100.0%
exit 0
records 1
)"},
    {"UnpluggedDuringAWrite", {ByPath + "usb-0:1.1"}, {"hang-up", "ok"}, R"(
start
link /dev/serial/by-path/usb-0:1.1 0
ended 0
unlink /dev/serial/by-path/usb-0:1.1
result-lost /dev/serial/by-path/usb-0:1.1
link /dev/serial/by-path/usb-0:1.1 1
result /dev/serial/by-path/usb-0:1.1: O.K.
signal
line 2 boards written: 1 passed, 1 failed, yield 50.0%
exit 8
records 2
)"},
    {"ReplugWrittenAgain", {ByPath + "usb-0:1.1"}, {"ok"}, R"(
start
link /dev/serial/by-path/usb-0:1.1 0
result /dev/serial/by-path/usb-0:1.1: O.K.
unlink /dev/serial/by-path/usb-0:1.1
link /dev/serial/by-path/usb-0:1.1 0
result /dev/serial/by-path/usb-0:1.1: O.K.
signal
line 2 boards written: 2 passed, 0 failed, yield 100.0%
exit 0
records 2
)"},
    {"FailedBoardWaitsForUnplug", {ByPath + "usb-0:1.1"}, {"no-sync", "ok"}, R"(
start
link /dev/serial/by-path/usb-0:1.1 0
result /dev/serial/by-path/usb-0:1.1: Err 1
quiet 1500
unlink /dev/serial/by-path/usb-0:1.1
link /dev/serial/by-path/usb-0:1.1 1
result /dev/serial/by-path/usb-0:1.1: O.K.
signal
line 2 boards written: 1 passed, 1 failed, yield 50.0%
line   /dev/serial/by-path/usb-0:1.1: 1 passed, 1 failed
exit 1
records 2
)"},
    {"CtrlCWithTwoWriting", {ByPath + "usb-0:1.1", ByPath + "usb-0:1.2", ByPath + "usb-0:1.3"}, {"slow", "slow", "ok"}, R"(
start
link /dev/serial/by-path/usb-0:1.1 0
link /dev/serial/by-path/usb-0:1.2 1
busy 0
busy 1
signal
link /dev/serial/by-path/usb-0:1.3 2
result-any /dev/serial/by-path/usb-0:1.1: O.K.
result-any /dev/serial/by-path/usb-0:1.2: O.K.
line 2 boards written: 2 passed, 0 failed, yield 100.0%
exit 0
untouched 2
records 2
)"},
    {"CountEndsTheRun", {ByPath + "usb-0:1.1", ByPath + "usb-0:1.2"}, {"ok", "ok"}, R"(
start
link /dev/serial/by-path/usb-0:1.1 0
result /dev/serial/by-path/usb-0:1.1: O.K.
line 1 board written: 1 passed, 0 failed, yield 100.0%
exit 0
link /dev/serial/by-path/usb-0:1.2 1
untouched 1
records 1
)", {"--count", "1"}},
    // Each board plugged takes its own number as its write begins, in the
    // order boards start, as a gang's boards do.
    {"EachBoardItsOwnNumber", {ByPath + "usb-0:1.1", ByPath + "usb-0:1.2"}, {"ok", "ok"}, R"(
start
link /dev/serial/by-path/usb-0:1.1 0
result /dev/serial/by-path/usb-0:1.1: O.K.
number 0 00000041
link /dev/serial/by-path/usb-0:1.2 1
result /dev/serial/by-path/usb-0:1.2: O.K.
number 1 00000042
unlink /dev/serial/by-path/usb-0:1.1
link /dev/serial/by-path/usb-0:1.1 0
result /dev/serial/by-path/usb-0:1.1: O.K.
number 0 00000043
signal
exit 0
records 3
)", {"--serial-at", "0x100", "--serial-format", "ascii:8", "--serial-from", "counter:@COUNTER@"}},
};

sim::BoardScript ScriptFor(const QString &kind)
{
    return Script([&kind](sim::BoardScript &s) {
        s.keepServing = true;
        if (kind == u"no-sync")
            s.syncAfterZeros = 0;
        if (kind == u"slow")
            s.modelWireTime = s.lightWireTime = true;
        if (kind == u"hang-up")
            s.hangUpAfter = 30;
    });
}

// The result line less its time ("01:22:42 ") and duration (" (0.1 s)").
QString Bare(const QString &line)
{
    static const QRegularExpression framed(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d (.*) \\(\\d+\\.\\d s\\)$"));
    const auto match = framed.match(line);
    return match.hasMatch() ? match.captured(1) : QStringLiteral("unframed: ") + line;
}

class AutoModeRows : public testing::TestWithParam<AutoRow> {};

TEST_P(AutoModeRows, WritesEachBoardAsItIsPlugged)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a mount namespace needs root";
    const AutoRow &row = GetParam();
    PlugRig rig;
    QTemporaryDir dir;
    const QString program = WriteFile(dir, QStringLiteral("p.mot"), "S1130000000102030405060708090A0B0C0D0E0F74\n");
    const QString loader = WriteFile(dir, QStringLiteral("tqw735.bin"), TestLoader(40));
    const QString report = dir.filePath(QStringLiteral("records.jsonl"));
    const QString counter = WriteFile(dir, QStringLiteral("serial.txt"), "41\n");
    QStringList extra = row.extra;
    extra.replaceInStrings(QStringLiteral("@COUNTER@"), counter);
    std::vector<std::unique_ptr<sim::TargetSim>> boards;
    for (const QString &kind : row.boards)
        boards.push_back(std::make_unique<sim::TargetSim>(ScriptFor(kind)));
    const auto board = [&](const QString &index) { return QString::fromStdString(boards.at(index.toUInt())->SlavePath()); };

    QProcess writer;
    const auto next = [&writer](std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!writer.canReadLine()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= 0ms || !writer.waitForReadyRead(static_cast<int>(left.count())))
                break;
        }
        return writer.canReadLine() ? QString::fromUtf8(writer.readLine()).chopped(1) : QString();
    };
    const auto waitFor = [](const std::function<bool()> &done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return done();
    };
    QStringList unordered;  // a run of result-any lines not yet met
    const auto meetUnordered = [&] {
        while (!unordered.isEmpty()) {
            const QString line = Bare(next(10s));
            ASSERT_TRUE(unordered.removeOne(line)) << "got \"" << line.toStdString() << "\", expected one of \""
                                                   << unordered.join(QStringLiteral("\", \"")).toStdString() << '"';
        }
    };
    for (const QString &text : QString::fromLatin1(row.script).split(u'\n', Qt::SkipEmptyParts)) {
        SCOPED_TRACE(text.toStdString());
        const QString command = text.section(u' ', 0, 0);
        const QString rest = text.section(u' ', 1);
        const QStringList words = rest.split(u' ');
        if (command != u"result-any")
            meetUnordered();
        if (command == u"start") {
            const QStringList args = QStringList{QStringLiteral(QW735_WRITE_PATH), QStringLiteral("--auto"), QStringLiteral("--settle"),
                                                 QStringLiteral("100"), QStringLiteral("--loader"), loader, QStringLiteral("--report"), report}
                                     + extra + row.slotTexts + QStringList{program};
            const QStringList command = rig.InNamespace(args);
            writer.start(command.first(), command.mid(1));
            ASSERT_TRUE(writer.waitForStarted());
            // Watching once it says it waits.
            writer.setReadChannel(QProcess::StandardError);
            ASSERT_TRUE(next(5s).contains(QStringLiteral("waiting for boards"))) << writer.readAllStandardError().toStdString();
            writer.setReadChannel(QProcess::StandardOutput);
        } else if (command == u"link") {
            rig.Link(words[0], board(words[1]));
        } else if (command == u"unlink") {
            rig.Unlink(words[0]);
        } else if (command == u"result") {
            ASSERT_EQ(Bare(next(10s)).toStdString(), rest.toStdString());
        } else if (command == u"result-any") {
            unordered << rest;
        } else if (command == u"result-lost") {
            EXPECT_TRUE(Bare(next(10s)).startsWith(rest + QStringLiteral(": Lost ")));
        } else if (command == u"line") {
            ASSERT_EQ(next(10s).toStdString(), rest.toStdString());
        } else if (command == u"quiet") {
            EXPECT_EQ(next(std::chrono::milliseconds(rest.toInt())).toStdString(), "");
        } else if (command == u"busy") {
            ASSERT_TRUE(waitFor([&] { return !boards.at(rest.toUInt())->Received().empty(); }));
        } else if (command == u"ended") {
            ASSERT_TRUE(waitFor([&] { return boards.at(rest.toUInt())->HungUp(); }));
        } else if (command == u"signal") {
            ASSERT_EQ(::kill(static_cast<pid_t>(writer.processId()), SIGINT), 0);
        } else if (command == u"exit") {
            ASSERT_TRUE(writer.waitForFinished(20000));
            EXPECT_EQ(writer.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(writer.exitCode(), rest.toInt()) << writer.readAllStandardError().toStdString();
        } else if (command == u"untouched") {
            EXPECT_TRUE(boards.at(rest.toUInt())->Received().empty());
            EXPECT_TRUE(HoldersOf(board(rest)).isEmpty());
        } else if (command == u"number") {
            const std::vector<std::uint8_t> image = boards.at(words[0].toUInt())->LastWrite().image;
            ASSERT_GE(image.size(), 0x108u);
            EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(image.data()) + 0x100, 8).toStdString(), words[1].toStdString());
        } else if (command == u"records") {
            const QList<QByteArray> lines = ReadFile(report).split('\n');
            EXPECT_EQ(lines.size() - 1, rest.toInt());
            for (const QByteArray &line : lines.first(lines.size() - 1)) {
                EXPECT_TRUE(line.contains("\"auto\":true")) << line.toStdString();
                EXPECT_TRUE(line.contains("\"slot\":\"/dev/serial/by-path/")) << line.toStdString();
            }
        } else {
            FAIL() << "no such command";
        }
    }
    meetUnordered();
    if (writer.state() != QProcess::NotRunning) {
        writer.kill();
        writer.waitForFinished(3000);
    }
}

INSTANTIATE_TEST_SUITE_P(Auto, AutoModeRows, testing::ValuesIn(Rows),
                         [](const testing::TestParamInfo<AutoRow> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qw735::test
