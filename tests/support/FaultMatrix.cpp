// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/FaultMatrix.h"

#include "tests/support/HostFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace qw735::test {

namespace {

using Setup = FaultRow::Setup;

// Bytes the host sends up to and including each step of a healthy write.
constexpr std::size_t Handshake = 2;                                   // 0x00, 0x55
constexpr std::size_t LoaderSize = Handshake + 2;
constexpr std::size_t Loader = LoaderSize + MatrixLoaderSize;
constexpr std::size_t Command = Loader + 2;                            // "P", 0x00
constexpr std::size_t Header = Command + 8;                            // zero field and size
constexpr std::size_t Blocks(std::size_t sent) { return Header + sent * 65; }
constexpr std::size_t Checksum = Blocks(MatrixBlocks) + 2;
// The same for a whole write with a loader of `loaderSize` bytes.
constexpr std::size_t Whole(int loaderSize) { return Checksum - MatrixLoaderSize + static_cast<std::size_t>(loaderSize); }

// Loader bytes for rows whose every reply comes late: each echo costs a
// round trip of the line.
constexpr int SlowLineLoaderSize = 8;

// The server only sees its device fail, and hangs up: that is all a remote
// port can tell of a board that went away.
constexpr const char *ServerHungUp = "Lost {port} during the write: the server closed the connection";

// A board that answers block request `at` (the checksum's is MatrixBlocks + 1) with `reply`.
std::function<void(sim::BoardScript &)> Request(std::size_t at, sim::Reply reply)
{
    return [=](sim::BoardScript &s) { s.requestFaultAt = at, s.requestFaultReply = reply; };
}

FaultRow Row(std::string name, std::function<void(sim::BoardScript &)> script, int exitStatus, const char *message, std::size_t sent)
{
    FaultRow row{std::move(name), std::move(script), Setup::None, exitStatus, QString::fromUtf8(message), sent};
    if (row.message.startsWith(u"Time Out"))
        row.time.atLeastMs = 3000;
    return row;
}

FaultRow Row(std::string name, Setup setup, int exitStatus, const char *message, std::size_t sent)
{
    FaultRow row = Row(std::move(name), [](sim::BoardScript &) {}, exitStatus, message, sent);
    row.setup = setup;
    return row;
}

FaultRow Timed(FaultRow row, FaultRow::Time time)
{
    row.time = time;
    return row;
}

// A row that also runs through a remote port, there ending in `message` if given.
FaultRow AlsoRemote(FaultRow row, const char *message = nullptr)
{
    row.runsRemotely = true;
    row.remoteMessage = message;
    return row;
}

// A write of the program file `program`.
FaultRow Program(std::string name, QByteArray program, int exitStatus, const char *message, std::size_t sent)
{
    FaultRow row = Row(std::move(name), Setup::None, exitStatus, message, sent);
    row.program = std::move(program);
    return row;
}

// A program file that must be refused before the port opens.
FaultRow Refused(std::string name, QByteArray program, const char *message)
{
    return Program(std::move(name), std::move(program), 7, message, 0);
}

}  // namespace

QByteArray Elf32(const std::vector<ElfSegment> &segments, const QByteArray &data, const std::vector<ElfSection> &sections)
{
    QByteArray file(52, '\0');
    const auto put = [&file](int at, std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            file[at + i] = static_cast<char>(value >> (8 * i));
    };
    file.replace(0, 7, QByteArray("\x7F" "ELF\x01\x01\x01", 7));
    put(16, 2, 2);                                            // executable
    put(18, 20, 2);                                           // PowerPC, say: any machine will do
    put(20, 1, 4);
    put(28, 52, 4);                                           // program headers right after
    put(40, 52, 2);
    put(42, 32, 2);
    put(44, static_cast<std::uint32_t>(segments.size()), 2);
    for (const ElfSegment &segment : segments) {
        const int at = static_cast<int>(file.size());
        file.append(32, '\0');
        put(at, segment.type, 4);
        put(at + 4, segment.offset, 4);
        put(at + 8, segment.address, 4);
        put(at + 12, segment.address, 4);
        put(at + 16, segment.fileSize, 4);
        put(at + 20, segment.memorySize, 4);
    }
    file += data;
    if (!sections.empty()) {
        put(32, static_cast<std::uint32_t>(file.size()), 4);
        put(46, 40, 2);
        put(48, static_cast<std::uint32_t>(sections.size() + 1), 2);
        file.append(40, '\0');
        for (const ElfSection &section : sections) {
            const int at = static_cast<int>(file.size());
            file.append(40, '\0');
            put(at + 4, section.type, 4);
            put(at + 8, section.flags, 4);
            put(at + 16, section.offset, 4);
            put(at + 20, section.size, 4);
        }
    }
    return file;
}

namespace {

// MatrixProgram's data: 0x00..0x0F for address 0, 0xF0..0xFF for 0x90.
QByteArray MatrixData()
{
    QByteArray data;
    for (int i = 0; i < 16; ++i)
        data += static_cast<char>(i);
    for (int i = 0; i < 16; ++i)
        data += static_cast<char>(0xF0 + i);
    return data;
}

QByteArray Utf16Le(const QByteArray &text)
{
    QByteArray wide;
    for (char c : text)
        wide += QByteArray(1, c) + '\0';
    return wide;
}

FaultRow WithWindow(FaultRow row, const char *message, std::size_t sent)
{
    row.window = FaultRow::WindowEnding{message, sent};
    return row;
}

FaultRow WithArgs(FaultRow row, QStringList args)
{
    row.args = std::move(args);
    return row;
}

// A whole write to a board whose every reply reaches the host `ms` late
// (an adapter's latency timer, a network), besides `script`'s change.
FaultRow RepliesLate(std::string name, int ms, std::function<void(sim::BoardScript &)> script)
{
    FaultRow row = Row(std::move(name), [=](sim::BoardScript &s) { script(s), s.replyLatencyMs = ms; }, 0, "O.K.", Whole(SlowLineLoaderSize));
    row.loaderSize = SlowLineLoaderSize;
    // Through ser2net, plain: TLS costs nothing per reply that a slow line
    // would not hide.
    row.remotePlainOnly = true;
    return row;
}

}  // namespace

// 16 bytes at 0x90: MaxAddress 0x9F, 159 / 64 = 2.48, three blocks.
const char *const MatrixProgram =
    "S00D000051573733352074657374CB\n"
    "S1130000000102030405060708090A0B0C0D0E0F74\n"
    "S1130090F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFFE4\n"
    "S9030000FC\n";
const char *const MatrixMalformedProgram =
    "S00D000051573733352074657374CB\n"
    "S1130000000102030405060708090A0B0C0D0E0F74\n"
    "S1130010000102030405060708G90A0B0C0D0E0F74\n";

namespace {

std::vector<FaultRow> AllFaultRows()
{
    using S = sim::BoardScript;
    constexpr FaultRow::Time Unplugged = {.belowMs = 3000, .cpuBelowMs = 500};
    return {
        Timed(Row("NoSyncAnswer", [](S &s) { s.syncAfterZeros = 0; }, 1, "Err 1", 51), {.atLeastMs = 510, .belowMs = 3000}),
        Row("WrongHandshakeReply", [](S &s) { s.handshakeReply = 0x00; }, 1, "Err 1", Handshake),
        Timed(Row("NoHandshakeReply", [](S &s) { s.handshakeReply.reset(); }, 1, "Err 1", Handshake), {.atLeastMs = 500, .belowMs = 3000}),
        AlsoRemote(Row("WrongEcho", [](S &s) { s.echoFaultAt = 9, s.echoFaultReply = 0x13; }, 3, "Farm Err", LoaderSize + 9)),
        Row("NoEcho", [](S &s) { s.echoFaultAt = 9; }, 2, "Time Out Farm Err", LoaderSize + 9),
        Row("WrongEndMark", [](S &s) { s.endMark = 0x00; }, 3, "Farm Err", Loader),
        // A missing end mark counts as done; the loader then does not answer.
        Row("NoEndMark", [](S &s) { s.endMark.reset(); }, 5, "Time Out S File Err", Command),
        Row("WrongCommandReply", [](S &s) { s.commandReply = 0x15; }, 6, "S File Err ", Command),
        Row("NoCommandReply", [](S &s) { s.commandReply.reset(); }, 5, "Time Out S File Err", Command),
        Row("WrongFirstBlockRequest", Request(1, 0x13), 6, "S File Err ", Blocks(0)),
        Row("NoFirstBlockRequest", Request(1, std::nullopt), 5, "Time Out S File Err", Blocks(0)),
        Row("WrongMiddleBlockRequest", Request(2, 0x13), 6, "S File Err ", Blocks(1)),
        AlsoRemote(Row("NoMiddleBlockRequest", Request(2, std::nullopt), 5, "Time Out S File Err", Blocks(1))),
        Row("WrongLastBlockRequest", Request(3, 0x13), 6, "S File Err ", Blocks(2)),
        Row("NoLastBlockRequest", Request(3, std::nullopt), 5, "Time Out S File Err", Blocks(2)),
        Row("WrongChecksumRequest", Request(4, 0x06), 6, "S File Err ", Blocks(3)),
        Row("NoChecksumRequest", Request(4, std::nullopt), 5, "Time Out S File Err", Blocks(3)),
        Row("WrongFinalReply", [](S &s) { s.finalReply = 0x15; }, 6, "S File Err ", Checksum),
        Row("NoFinalReply", [](S &s) { s.finalReply.reset(); }, 5, "Time Out S File Err", Checksum),
        Timed(Row("HangUpDuringLoader", [](S &s) { s.hangUpAfter = LoaderSize + 20; }, 8,
                  "Lost {port} during the write: the device was disconnected", LoaderSize + 20), Unplugged),
        AlsoRemote(Timed(Row("HangUpDuringImage", [](S &s) { s.hangUpAfter = Blocks(1) + 30; }, 8,
                             "Lost {port} during the write: the device was disconnected", Blocks(1) + 30), Unplugged),
                   ServerHungUp),
        Row("PortHeldByAnotherProgram", Setup::PortBusy, 8, "Cannot open {port}: it is in use by another program (process {pid})", 0),
        // Two names for one device, as /dev/serial/by-id/... beside /dev/ttyUSB0.
        Row("PortHeldUnderAnotherName", Setup::PortBusyThroughLink, 8,
            "Cannot open {port}: it is in use by another program (process {pid})", 0),
        // Found through /proc, as --list-ports finds it; the simulated board,
        // which holds the pseudo-terminal's other side, is no such holder.
        Row("PortHeldWithoutALock", Setup::PortHeldWithoutALock, 8,
            "Cannot open {port}: it is open in process {holder} (cat), which would take the board's replies: end that program first", 0),
        // The command line reads the loader before it opens the port; the
        // window reports it missing after the handshake, where the loader
        // transfer needs it.
        WithWindow(Row("LoaderMissing", Setup::LoaderMissing, 4, "Not Found TQW735.BIN", 0), "Not Found TQW735.BIN", Handshake),
        WithWindow(Row("LoaderEmpty", Setup::LoaderEmpty, 4, "Not Found TQW735.BIN", 0), "Not Found TQW735.BIN", Handshake),
        Row("LoaderTooLarge", Setup::LoaderTooLarge, 4,
            "TQW735.BIN is too large: {loader} has 65536 bytes, the boot mode takes at most 65535", 0),
        Row("SRecordFileRemoved", Setup::SRecordRemoved, 7, "Cannot open S-record file {mot}: No such file or directory", 0),
        Row("SRecordLineMalformed", Setup::SRecordMalformed, 7,
            "S-record file {mot}, line 3: 'G' at column 27 is not a hexadecimal digit", 0),
        // Files that are not regular files. The command line reads pipes
        // (it can be interrupted while it waits); the window, which cannot,
        // reads regular files only, and refuses any other S-record file
        // before it opens the port.
        WithWindow(Row("SRecordFromAPipe", Setup::SRecordPipe, 0, "O.K.", Checksum),
                   "Cannot read S-record file {mot}: it is a pipe, not a regular file", 0),
        // The window judges the file before it touches the port (opening a
        // serial port can reset a board); the command line has read it.
        WithWindow(Row("SRecordFromAPipeWhilePortHeld", Setup::SRecordPipePortBusy, 8,
                       "Cannot open {port}: it is in use by another program (process {pid})", 0),
                   "Cannot read S-record file {mot}: it is a pipe, not a regular file", 0),
        WithWindow(Row("LoaderFromAPipe", Setup::LoaderPipe, 0, "O.K.", Checksum), "Not Found TQW735.BIN", Handshake),
        WithWindow(Row("LoaderIsAnEndlessDevice", Setup::LoaderDevice, 4,
                       "TQW735.BIN is too large: /dev/zero has more than 65535 bytes, the boot mode takes at most 65535", 0),
                   "Not Found TQW735.BIN", Handshake),
        Row("SRecordIsAnEndlessDevice", Setup::SRecordDevice, 7,
            "Cannot read S-record file /dev/zero: it is a character device, not a regular file", 0),
        Row("SRecordIsADirectory", Setup::SRecordDirectory, 7, "Cannot read S-record file {mot}: Is a directory", 0),
        Row("SRecordIsASocket", Setup::SRecordSocket, 7, "Cannot read S-record file {mot}: it is a socket, not a regular file", 0),
        AlsoRemote(Row("Healthy", [](S &) {}, 0, "O.K.", Checksum)),
        // A loader that loses what comes in its first 40 ms: the host gives
        // it 50 ms from the end mark, also when the end mark came in one
        // packet with the last echo.
        AlsoRemote(Row("LoaderSlowToStart", [](S &s) { s.loaderStartMs = 40; }, 0, "O.K.", Checksum)),
        AlsoRemote(Row("LoaderSlowToStartInPackets", [](S &s) { s.loaderStartMs = 40, s.batchReplies = true; }, 0, "O.K.", Checksum)),
        // Bytes that answer nothing: the boot mode's word on the size, and
        // the loader's UART starting up. The host drops them unread.
        Row("SizeBytesAnswered", [](S &s) { s.sizeReply = 0x00; }, 0, "O.K.", Checksum),
        Row("NoiseWhileTheLoaderStarts", [](S &s) { s.loaderStartNoise = 0xFF; }, 0, "O.K.", Checksum),
        // A slow line: every reply late, by an adapter's latency timer (16 ms
        // by default on many) or a network. The boot ROM echoes the size
        // bytes, whose echoes must not be taken for the loader's; written
        // whole, locally and through ser2net with the latency on the board's
        // side.
        AlsoRemote(RepliesLate("RepliesLate0ms", 0, [](S &s) { s.echoSize = true; })),
        AlsoRemote(RepliesLate("RepliesLate12ms", 12, [](S &s) { s.echoSize = true; })),
        AlsoRemote(RepliesLate("RepliesLate16ms", 16, [](S &s) { s.echoSize = true; })),
        AlsoRemote(RepliesLate("RepliesLate30ms", 30, [](S &s) { s.echoSize = true; })),
        AlsoRemote(RepliesLate("RepliesLate60ms", 60, [](S &s) { s.echoSize = true; })),
        AlsoRemote(RepliesLate("RepliesLate100ms", 100, [](S &s) { s.echoSize = true; })),
        // A boot ROM that says nothing to the size bytes, and one that answers
        // each 0x00 the host sent before it saw the first answer.
        RepliesLate("RepliesLateSizeUnanswered", 30, [](S &) {}),
        RepliesLate("RepliesLateEveryZeroAnswered", 30, [](S &s) { s.answerEveryZero = true; }),
        // Put in boot mode only after the writer began: --wait-for-board keeps
        // synchronising; the window gives up after its 51 attempts.
        WithWindow(WithArgs(Row("BoardInBootModeLate", [](S &s) { s.syncAfterZeros = 80; }, 0, "O.K.", Checksum),
                            {QStringLiteral("--wait-for-board"), QStringLiteral("10")}),
                   "Err 1", 51),
        // Program files of every format, told apart by content, that write
        // MatrixProgram's image.
        Row("ProgramAsIntelHex", Setup::ProgramAsIntelHex, 0, "O.K.", Checksum),
        Row("ProgramAsUtf16", Setup::ProgramAsUtf16, 0, "O.K.", Checksum),
        // Its sections: code, data, the data's zero fill (memory size 32,
        // not written) and a note that is no part of the program.
        Program("ProgramAsElf",
                Elf32({{1, 116, 0, 16, 16}, {1, 132, 0x90, 16, 32}}, MatrixData() + "GCC 12",
                      {{ElfProgbits, ElfAllocated, 116, 16}, {ElfProgbits, ElfAllocated, 132, 16}, {ElfNobits, ElfAllocated, 148, 16},
                       {ElfProgbits, 0, 148, 6}}),
                0, "O.K.", Checksum),
        Program("ProgramAsElfWithoutSectionHeaders", Elf32({{1, 116, 0, 16, 16}, {1, 132, 0x90, 16, 32}}, MatrixData()), 0, "O.K.", Checksum),
        // Files refused before the port opens. The reader's messages are
        // checked where it reads (tests/image); these rows prove that each
        // front end shows one as it stands, names the file and ends with 7,
        // for each kind of fault the command line advises on: a bad record
        // (SRecordLineMalformed above), a wrong checksum, no format read by
        // content, and text in UTF-16 without a byte-order mark.
        Refused("SRecordChecksumWrong", "S00D000051573733352074657374CB\nS1130000000102030405060708090A0B0C0D0E0F74\n"
                                        "S1130090F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFFE5\nS9030000FC\n",
                "S-record file {mot}, line 3: checksum 0xE5 found, 0xE4 expected"),
        Refused("BinaryFile", QByteArray("\xC2\x10\x00\x20\x4E\x75\x00\x00", 8), "{mot} is not an S-record, Intel HEX or ELF file"),
        Refused("Utf16WithoutByteOrderMark", Utf16Le(MatrixProgram), "{mot} is not an S-record, Intel HEX or ELF file"),
        // The end-of-file record ends the file: what follows is not written.
        Program("IntelHexRecordsAfterEnd", ":10000000000102030405060708090A0B0C0D0E0F78\n:10009000F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFFE8\n"
                                           ":00000001FF\n:10009000000102030405060708090A0B0C0D0E0FE8\n",
                0, "O.K.", Checksum),
        Program("ProgramAfterATitleLine", "# build 42\n" + QByteArray(MatrixProgram), 0, "O.K.", Checksum),
        // One file for the loader and the program: its text would go to the
        // boot mode as the loader, a pipe would be drained by the program.
        Row("LoaderIsTheProgram", Setup::LoaderIsTheProgram, 4,
            "TQW735.BIN is the program file itself: {loader} and {mot} are one file; give the loader that came with the board", 0),
        Row("LoaderIsAHardLinkToTheProgram", Setup::LoaderIsAHardLinkToTheProgram, 4,
            "TQW735.BIN is the program file itself: {loader} and {mot} are one file; give the loader that came with the board", 0),
        WithWindow(Row("OnePipeForLoaderAndProgram", Setup::OnePipeForLoaderAndProgram, 4,
                       "TQW735.BIN is the program file itself: {loader} and {mot} are one file; give the loader that came with the board", 0),
                   "Cannot read S-record file {mot}: it is a pipe, not a regular file", 0),
    };
}

}  // namespace

std::vector<FaultRow> FaultRows(FrontEnd frontEnd)
{
    std::vector<FaultRow> rows;
    for (FaultRow &row : AllFaultRows()) {
        if (frontEnd == FrontEnd::Window && row.window) {
            row.message = QString::fromUtf8(row.window->message);
            row.bytesSent = row.window->bytesSent;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<FaultRow> RemoteFaultRows(bool tls)
{
    std::vector<FaultRow> rows;
    for (FaultRow &row : FaultRows(FrontEnd::CommandLine)) {
        if (row.remoteMessage)
            row.message = QString::fromUtf8(row.remoteMessage);
        if (row.runsRemotely && !(tls && row.remotePlainOnly))
            rows.push_back(std::move(row));
    }
    // Killed while the host waits for a block request that the board holds
    // back: the wait must end on the dropped connection, not on its limit.
    rows.push_back(Row("ServerKilledDuringImage", Request(2, std::nullopt), 8, ServerHungUp, Blocks(1)));
    rows.back().setup = Setup::ServerKilled;
    // An adapter unplugged from the station, or its device named wrongly in
    // the server's configuration: the server takes the connection, says so
    // and hangs up. The network is fine.
    rows.push_back(Row("ServerWithoutItsDevice", Setup::ServerWithoutItsDevice, 8,
                       "Cannot open {port}: the server could not open its serial device (it said \"Device open failure: "
                       "Value or file not found\"): the adapter on the server may be unplugged, or its configuration names "
                       "the wrong device", 0));
    for (FaultRow &row : rows)
        row.remote = true, row.tls = tls;
    return rows;
}

FaultRow FaultRowNamed(const std::string &name)
{
    const std::vector<FaultRow> rows = FaultRows(FrontEnd::CommandLine);
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const FaultRow &r) { return r.name == name; });
    EXPECT_NE(row, rows.end()) << name;
    return row != rows.end() ? *row : FaultRow{};
}

FaultStage::FaultStage(const FaultRow &row)
    : row(row),
      board(Script(row.script)),
      device(QString::fromStdString(board.SlavePath())),
      loader(WriteFile(dir, QStringLiteral("tqw735.bin"), TestLoader(row.loaderSize))),
      mot(WriteFile(dir, QStringLiteral("program.mot"), row.program.value_or(MatrixProgram)))
{
    const auto hold = [this](const QString &name) {
        holder.emplace();
        holder->SelectDevice(name);
        EXPECT_TRUE(holder->Open());
    };
    const QString alias = dir.filePath(QStringLiteral("port-alias"));
    switch (row.setup) {
    case FaultRow::Setup::None:
    case FaultRow::Setup::ServerKilled:
    case FaultRow::Setup::ServerWithoutItsDevice: break;
    case FaultRow::Setup::PortBusy: hold(device); break;
    case FaultRow::Setup::PortBusyThroughLink:
        EXPECT_TRUE(QFile::link(device, alias));
        hold(alias);
        break;
    case FaultRow::Setup::PortHeldWithoutALock: {
        lockless.emplace(QList<QByteArray>{"cat", QFile::encodeName(device)});
        // Under whatever descriptor it got: a test runner may hand down more than 0, 1 and 2.
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(lockless->Pid()));
        EXPECT_TRUE(PumpUntil([&] {
            const QFileInfoList open = fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot);
            return std::any_of(open.begin(), open.end(), [&](const QFileInfo &fd) { return fd.symLinkTarget() == device; });
        }, std::chrono::seconds(10)));
        break;
    }
    case FaultRow::Setup::LoaderMissing: QFile::remove(loader); break;
    case FaultRow::Setup::LoaderEmpty: WriteFile(dir, QStringLiteral("tqw735.bin"), {}); break;
    case FaultRow::Setup::LoaderTooLarge: WriteFile(dir, QStringLiteral("tqw735.bin"), QByteArray(0x10000, 'x')); break;
    case FaultRow::Setup::SRecordRemoved: QFile::remove(mot); break;
    case FaultRow::Setup::SRecordMalformed: WriteFile(dir, QStringLiteral("program.mot"), MatrixMalformedProgram); break;
    case FaultRow::Setup::SRecordPipe: FileIntoPipe(mot, MatrixProgram); break;
    case FaultRow::Setup::LoaderIsTheProgram: loader = mot; break;
    case FaultRow::Setup::LoaderIsAHardLinkToTheProgram:
        QFile::remove(loader);
        EXPECT_EQ(::link(QFile::encodeName(mot).constData(), QFile::encodeName(loader).constData()), 0);
        break;
    case FaultRow::Setup::OnePipeForLoaderAndProgram:
        FileIntoPipe(mot, MatrixProgram);
        loader = mot;
        break;
    case FaultRow::Setup::ProgramAsIntelHex:
    case FaultRow::Setup::ProgramAsUtf16: {
        const QString made = dir.filePath(QStringLiteral("program.made"));
        const QString command = row.setup == FaultRow::Setup::ProgramAsIntelHex
                                    ? QStringLiteral("srec_cat '%1' -o '%2' -intel").arg(mot, made)
                                    : QStringLiteral("iconv -f ASCII -t UTF-16 '%1' > '%2'").arg(mot, made);
        EXPECT_EQ(std::system(QFile::encodeName(command).constData()), 0) << command.toStdString();
        QFile::remove(mot);
        EXPECT_TRUE(QFile::rename(made, mot));
        break;
    }
    case FaultRow::Setup::SRecordPipePortBusy:
        FileIntoPipe(mot, MatrixProgram);
        hold(device);
        break;
    case FaultRow::Setup::LoaderPipe: FileIntoPipe(loader, TestLoader(row.loaderSize)); break;
    case FaultRow::Setup::SRecordDevice: mot = QStringLiteral("/dev/zero"); break;
    case FaultRow::Setup::LoaderDevice: loader = QStringLiteral("/dev/zero"); break;
    case FaultRow::Setup::SRecordDirectory:
        QFile::remove(mot);
        QDir().mkdir(mot);
        break;
    case FaultRow::Setup::SRecordSocket: {
        QFile::remove(mot);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        QFile::encodeName(mot).toStdString().copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);  // the socket file stays
        break;
    }
    }
}

void FaultStage::FileIntoPipe(const QString &path, const QByteArray &data)
{
    QFile::remove(path);
    const QByteArray name = QFile::encodeName(path);
    EXPECT_EQ(::mkfifo(name.constData(), 0600), 0);
    // Once a reader opens it, `data` goes in; given up when asked to stop,
    // also while no reader has come.
    feeder = std::jthread([name, data](std::stop_token stop) {
        int fd = -1;
        while (fd < 0 && !stop.stop_requested()) {
            fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // Far less than a pipe holds: the write never waits for the reader.
        if (fd >= 0) {
            EXPECT_EQ(::write(fd, data.constData(), static_cast<std::size_t>(data.size())), data.size());
            ::close(fd);
        }
    });
}

void FaultStage::ExpectEnding(const QString &shown, const QString &portName) const
{
    EXPECT_EQ(shown.toStdString(), ExpectedMessage(row, portName, mot, loader, lockless ? lockless->Pid() : 0).toStdString());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // A board that hung up did so at a count of raw bytes.
    const auto received = board.Received();
    EXPECT_EQ(board.HungUp() ? received.size() : CountedBytes(received), row.bytesSent);
    if (row.message != QStringLiteral("O.K."))
        return;
    // 0x00..0x0F at 0, 0xF0..0xFF at 0x90, erased elsewhere.
    std::vector<std::uint8_t> program(MatrixBlocks * 64, 0xFF);
    for (int i = 0; i < 16; ++i) {
        program[i] = static_cast<std::uint8_t>(i);
        program[0x90 + i] = static_cast<std::uint8_t>(0xF0 + i);
    }
    EXPECT_EQ(board.LastWrite().image, program);
}

std::size_t CountedBytes(const std::vector<sim::ReceivedByte> &received)
{
    // Zeros the board got before 0x55: while synchronising, and those the
    // host sent before it saw the answer.
    std::size_t syncBytes = 0;
    bool answered = false;
    for (const sim::ReceivedByte &byte : received) {
        answered |= byte.phase != sim::Phase::Sync;
        syncBytes += byte.phase == sim::Phase::Sync || (byte.phase == sim::Phase::Handshake && byte.value == 0x00);
    }
    return answered ? received.size() - (syncBytes - 1) : received.size();
}

void WaitForCounted(const sim::TargetSim &board, std::size_t count, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (CountedBytes(board.Received()) < count && std::chrono::steady_clock::now() < deadline)
        board.WaitForReceived(board.Received().size() + 1, std::chrono::milliseconds(100));
}

QString ExpectedMessage(const FaultRow &row, const QString &port, const QString &mot, const QString &loader, pid_t holder)
{
    QString message = row.message;
    return message.replace(QStringLiteral("{holder}"), QString::number(holder))
        .replace(QStringLiteral("{port}"), port)
        .replace(QStringLiteral("{mot}"), mot)
        .replace(QStringLiteral("{loader}"), loader)
        .replace(QStringLiteral("{pid}"), QString::number(QCoreApplication::applicationPid()));
}

}  // namespace qw735::test
