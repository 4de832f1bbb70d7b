// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/HostFixture.h"
#include "trace/TraceFormat.h"
#include "writer/BootHandshake.h"
#include "writer/SendImage.h"
#include "writer/SendLoader.h"

#include <QFile>
#include <gtest/gtest.h>
#include <algorithm>
#include <thread>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Any answer to a 0x00 synchronises, whatever its value; an answer only to
// the second 0x00 shows that each attempt is armed anew. How the handshake
// fails is in the fault matrix.
TEST(BootHandshake, SynchronisesOnTheFirstAnswer)
{
    const std::pair<sim::BoardScript, Bytes> rows[] = {
        {{}, {0x00, 0x55}},
        {Script([](auto &s) { s.syncAfterZeros = 2; }), {0x00, 0x00, 0x55}},
        {Script([](auto &s) { s.syncReply = 0xFF; }), {0x00, 0x55}},
    };
    for (const auto &[script, sent] : rows) {
        HostSide host(script);
        ASSERT_TRUE(host.port.Open());
        EXPECT_EQ(BootHandshake(host.link, host.steps).outcome, HandshakeOutcome::Accepted);
        host.board->WaitForReceived(sent.size() + 1, 50ms);
        // A board slowed by a loaded machine answers after more attempts
        // than it needs: zeros, at least as many as the board wanted, then
        // one 0x55 and nothing else.
        Bytes received = host.board->ReceivedValues();
        ASSERT_FALSE(received.empty());
        EXPECT_EQ(received.back(), 0x55);
        received.pop_back();
        EXPECT_GE(received.size(), sent.size() - 1);
        EXPECT_EQ(std::ranges::count(received, 0x00), std::ssize(received));
    }
}

TEST(BootHandshake, AcceptsAaFirstAmongSeveralAndDropsTheRest)
{
    HostSide host(Script([](auto &s) { s.handshakeReply.reset(); }));
    ASSERT_TRUE(host.port.Open());
    std::thread replier([&] {
        if (host.board->WaitForReceived(2, 2s))
            host.board->SendToHost({0xAA, 0x01, 0x02});
    });
    EXPECT_EQ(BootHandshake(host.link, host.steps).outcome, HandshakeOutcome::Accepted);
    replier.join();
    EXPECT_EQ(host.port.WaitingCount(), 0);
}

TEST(BootHandshake, EndsWhenThePortIsLost)
{
    HostSide host(Script([](auto &s) { s.syncAfterZeros = 0, s.hangUpAfter = 3; }));
    ASSERT_TRUE(host.port.Open());
    const auto start = Clock::now();
    EXPECT_EQ(BootHandshake(host.link, host.steps).outcome, HandshakeOutcome::LinkDown);
    EXPECT_TRUE(host.link.Loss());
    // Not after the 51 silent attempts of 10 ms have run out.
    EXPECT_LT(MsSince(start), 500);
}

TEST(TransferSize, RoundsHalvesToTheEvenNeighbour)
{
    const std::pair<std::int32_t, std::int32_t> cases[] = {
        {0, 64}, {32, 64}, {33, 128}, {63, 128}, {64, 128}, {90, 128}, {96, 192},
        {160, 192}, {224, 320}, {0x1FFFF, 0x20040},
    };
    for (const auto &[maxAddress, size] : cases)
        EXPECT_EQ(TransferSize(maxAddress), size) << "MaxAddress " << maxAddress;
}

// The size field holds 16 bits: a loader of 0xFFFF bytes still goes, one
// byte more does not; an empty loader is no loader.
TEST(ReadLoaderFile, TakesWhatTheSizeFieldHoldsAndNothingEmpty)
{
    QTemporaryDir dir;
    const auto read = [&](const QByteArray &data) {
        return ReadLoaderFile(PathName(QFile::encodeName(WriteFile(dir, QStringLiteral("l.bin"), data))), InputKinds::Files);
    };
    EXPECT_EQ(read(QByteArray(0xFFFF, 'x'))->size(), 0xFFFF);
    EXPECT_TRUE(read(QByteArray(0x10000, 'x')) == std::unexpected(TransferResult::LoaderTooLarge));
    EXPECT_TRUE(read({}) == std::unexpected(TransferResult::LoaderMissing));
}

// The answers to the size bytes are awaited the designed 10 ms after the
// second, plus four round trips of the line, and never longer than a reply.
TEST(SendLoader, AwaitsTheSizeAnswersForAFewRoundTrips)
{
    const std::pair<std::chrono::microseconds, int> rows[] = {
        {0us, 10}, {150us, 11}, {16'200us, 75}, {100ms, 410}, {1s, 3000},
    };
    for (const auto &[roundTrip, limitMs] : rows)
        EXPECT_EQ(SizeAnswerLimitMs(roundTrip), limitMs) << roundTrip.count() << " us";
}

// How echo and end-mark faults end the transfer is checked, byte count and
// message, by the fault matrix through both front ends.
TEST(SendLoader, SendsSizeThenEchoedBytesThenTakesTheEndMark)
{
    HostSide host;
    ASSERT_TRUE(host.port.Open());
    ASSERT_EQ(BootHandshake(host.link, host.steps).outcome, HandshakeOutcome::Accepted);
    RecordingProgress progress;
    StepTracker steps(progress);
    const QByteArray loader("\xA1\xB2\xC3", 3);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendLoader(host.link, loader, steps), TransferResult::Done);
    // Two 10 ms pauses after the size bytes.
    EXPECT_GE(MsSince(start), 20.0);
    host.board->WaitForReceived(7, 1s);
    EXPECT_EQ(host.board->ReceivedValues(), (Bytes{0x00, 0x55, 0x00, 0x03, 0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(progress.calls, (std::vector<std::pair<char, float>>{{'M', 3}, {'V', 3}}));
}

// A USB adapter hands the last echo and the end mark over in one packet; the
// end mark must not be dropped with the echo and then waited for in vain.
// Any other byte in that packet goes with the echo, and the end mark is
// waited for as usual: the whole reply limit, here.
TEST(SendLoader, TakesAnEndMarkThatCameWithTheLastEcho)
{
    for (const std::uint8_t endMark : {0xAA, 0x00}) {
        HostSide host(Script([&](auto &s) { s.batchReplies = true, s.endMark = endMark; }));
        ASSERT_TRUE(host.port.Open());
        ASSERT_EQ(BootHandshake(host.link, host.steps).outcome, HandshakeOutcome::Accepted);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(SendLoader(host.link, TestLoader(3), host.steps), TransferResult::Done);
        if (endMark == 0xAA)
            EXPECT_LT(MsSince(start), 1500);
        else
            EXPECT_GE(MsSince(start), 3000);
    }
}

const QByteArray NoData = "S00600004844521B\r\nS9030000FC\r\n";
const QByteArray SmallProgram = "S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n";

TEST(WriteTarget, EmptyImageIsOneBlockOfFfWithChecksum3F)
{
    WriteBench bench({}, 3);
    const WriteResult result = bench.Write(NoData);
    EXPECT_EQ(result.outcome, WriteOutcome::Ok);
    EXPECT_EQ(bench.messages.shown, QStringList{QStringLiteral("O.K.")});

    Bytes expected = {0x00, 0x55, 0x00, 0x03};
    const QByteArray loader = TestLoader(3);
    expected.insert(expected.end(), loader.begin(), loader.end());
    const Bytes image = {0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x11};
    expected.insert(expected.end(), image.begin(), image.end());
    expected.insert(expected.end(), 64, 0xFF);
    expected.insert(expected.end(), {0x11, 0x3F});
    bench.host.board->WaitForReceived(expected.size() + 1, 20ms);
    EXPECT_EQ(bench.host.board->ReceivedValues(), expected);
}

TEST(WriteTarget, BootModeAt9600LoaderAt38400OnARawLineWithProgress)
{
    WriteBench bench({}, 25);
    ASSERT_EQ(bench.Write(SmallProgram).outcome, WriteOutcome::Ok);
    const auto seen = bench.host.board->SettingsSeen();
    for (sim::Phase phase : {sim::Phase::Sync, sim::Phase::Handshake, sim::Phase::LoaderSize, sim::Phase::LoaderBody})
        EXPECT_EQ(seen.at(phase), (sim::LineSettings{9600, true, false, false})) << sim::PhaseName(phase);
    for (sim::Phase phase : {sim::Phase::Command, sim::Phase::Header, sim::Phase::Blocks, sim::Phase::Checksum})
        EXPECT_EQ(seen.at(phase), (sim::LineSettings{38400, true, false, false})) << sim::PhaseName(phase);
    for (const sim::ReceivedByte &byte : bench.host.board->Received())
        EXPECT_FALSE(byte.garbled);
    // The bar moves after loader bytes 11 and 22, and at the end; 16 bytes
    // at 0 (MaxAddress 15) round to one block.
    const std::vector<std::pair<char, float>> expected = {{'M', 25}, {'V', 11}, {'V', 22}, {'V', 25},
                                                          {'M', 64}, {'V', 64}, {'V', 64}, {'V', 0}};
    EXPECT_EQ(bench.progress.calls, expected);
}

// A port lost mid-write ends it with the loss's kind, for the front ends to
// choose by; its message is the fault matrix's.
TEST(WriteTarget, APortLostMidWriteEndsItWithTheLossKind)
{
    WriteBench bench(Script([](auto &s) { s.hangUpAfter = 10; }));
    const WriteResult result = bench.Write(SmallProgram);
    EXPECT_EQ(result.outcome, WriteOutcome::PortLost);
    EXPECT_EQ(result.portErrorKind, PortError::Kind::Lost);
}

TEST(WriteTarget, FullDataAreaSendsOneBlockPastIt)
{
    WriteBench bench;
    QByteArray mot;
    for (int address = 0; address < 0x20000; address += 32) {
        QByteArray line = "S224" + QByteArray::number(address, 16).rightJustified(6, '0').toUpper();
        for (int i = 0; i < 32; ++i)
            line += QByteArray::number((address + i) % 251, 16).rightJustified(2, '0').toUpper();
        unsigned sum = 0;
        for (qsizetype k = 2; k < line.size(); k += 2)
            sum += line.mid(k, 2).toUInt(nullptr, 16);
        mot += line + QByteArray::number(~sum & 0xFF, 16).rightJustified(2, '0').toUpper() + "\n";
    }
    ASSERT_EQ(bench.Write(mot).outcome, WriteOutcome::Ok);
    const Bytes image = bench.host.board->LastWrite().image;
    ASSERT_EQ(image.size(), 0x20040u);
    EXPECT_EQ(image[0x1FFFF], 0x1FFFF % 251);
    EXPECT_EQ(Bytes(image.begin() + 0x20000, image.end()), Bytes(64, 0xFF));
}

// The steps of a write as the trace names them and as an interrupted
// board's message says where it stopped: one table serves both.
TEST(WireSteps, NameEachStepAndWhereAWriteStoppedInIt)
{
    const struct {
        WireStep step;
        int number;
        const char *traced;
        const char *stoppedAt;
    } rows[] = {
        {WireStep::Open, 0, "open", "before the handshake"},
        {WireStep::BootEntry, 2, "boot entry 2", "at the boot entry, try 2"},
        {WireStep::Sync, 0, "sync", "during the handshake"},
        {WireStep::Handshake, 0, "handshake", "during the handshake"},
        {WireStep::LoaderSize, 0, "loader size", "at the loader's size"},
        {WireStep::Loader, 1731, "loader 1731", "at loader byte 1731"},
        {WireStep::EndMark, 0, "end mark", "at the loader's end mark"},
        {WireStep::Command, 0, "command", "at the program command"},
        {WireStep::Size, 0, "size", "at the image size"},
        {WireStep::Block, 17, "block 17", "at block 17"},
        {WireStep::Checksum, 0, "checksum", "at the checksum"},
        {WireStep::Final, 0, "final", "waiting for the final reply"},
        {WireStep::Done, 0, "done", "waiting for the final reply"},
        {WireStep::Release, 0, "release", "at the release"},
    };
    for (const auto &row : rows) {
        const std::string line = TraceLine(std::chrono::microseconds(3'141'593), {}, row.step, row.number, WireDirection::Sent, {});
        const std::string traced = row.traced;
        EXPECT_EQ(line, "     3.141593 " + traced + std::string(traced.size() < 11 ? 11 - traced.size() : 0, ' ') + " sent\n");
        EXPECT_EQ(StoppedAt(row.step, row.number), row.stoppedAt);
    }
}

// A board's own input that cannot be made: the port is open when it is
// asked for, once, and the board hears no byte of the image; or it waits
// for another program until the run is cancelled.
struct OwnInputAsked : OwnInputMaker {
    std::expected<OwnInput, WriteResult> Make(const WriteInput &, const std::atomic<bool> &giveUp) const override
    {
        ++asked;
        portOpen = port && port->IsOpen();
        if (waits) {
            while (!giveUp)
                std::this_thread::sleep_for(1ms);
        }
        return std::unexpected(WriteResult{WriteOutcome::NumberFailed, QStringLiteral("The list file l.txt has no value left")});
    }
    const SerialPort *port = nullptr;
    bool waits = false;
    mutable std::atomic<int> asked{0};
    mutable std::atomic<bool> portOpen{false};
};

TEST(BoardRun, MakesTheBoardsOwnInputAsItsWriteBegins)
{
    HostSide host;
    WriteInput input;
    input.loader = TestLoader(3);
    OwnInputAsked maker;
    maker.port = &host.port;
    BoardRun run(host.port, host.link, &input, WriteOptions{.ownInput = &maker});
    const BoardOutcome &outcome = run.Run();
    EXPECT_EQ(maker.asked, 1);
    EXPECT_TRUE(maker.portOpen);
    EXPECT_EQ(outcome.result.outcome, WriteOutcome::NumberFailed);
    EXPECT_EQ(outcome.result.message, QStringLiteral("The list file l.txt has no value left"));
    EXPECT_FALSE(outcome.own);
    EXPECT_FALSE(host.board->LastWrite().completed);
    EXPECT_TRUE(host.board->LastWrite().image.empty());

    HostSide other;
    maker.waits = true;
    BoardRun waiting(other.port, other.link, &input, WriteOptions{.ownInput = &maker});
    std::jthread cancel([&] {
        while (maker.asked < 2)
            std::this_thread::sleep_for(1ms);
        waiting.Cancel();
    });
    EXPECT_EQ(waiting.Run().result.outcome, WriteOutcome::Abandoned);
}

// A run cancelled from another thread before it began opens nothing and
// sends nothing; the gang's boards rely on it when a signal comes as they
// start.
TEST(BoardRun, CancelledBeforeItBeginsOpensNothing)
{
    HostSide host;
    WriteInput input;
    input.loader = TestLoader(3);
    const OwnInputAsked maker;
    BoardRun run(host.port, host.link, &input, WriteOptions{.ownInput = &maker});
    std::thread([&run] { run.Cancel(); }).join();
    const BoardOutcome &outcome = run.Run();
    EXPECT_EQ(maker.asked, 0);  // no number is taken for a board never begun
    EXPECT_FALSE(outcome.own);
    EXPECT_FALSE(outcome.opened);
    EXPECT_EQ(outcome.result.outcome, WriteOutcome::Abandoned);
    EXPECT_EQ(outcome.stoppedAt, QStringLiteral("while opening"));
    EXPECT_EQ(outcome.bytesSent, 0u);
    EXPECT_FALSE(host.port.IsOpen());
    EXPECT_FALSE(host.board->WaitForReceived(1, 100ms));
}

// The window's box is shown while the port is still open, and the port is
// closed once the run returns; a port that does not open has its message
// in the box too.
TEST(BoardRun, ShowsTheResultBeforeThePortCloses)
{
    struct PortWatchingBox : MessageBox {
        explicit PortWatchingBox(const SerialPort &port) : port(port) {}
        void Show(const QString &text) override { shown.emplace_back(text, port.IsOpen()); }
        const SerialPort &port;
        std::vector<std::pair<QString, bool>> shown;
    };
    WriteBench bench({}, 3);
    PortWatchingBox box(bench.host.port);
    QTemporaryDir dir;
    const PathName program(QFile::encodeName(WriteFile(dir, QStringLiteral("p.mot"), "S9030000FC\n")));
    BoardRun run(bench.host.port, bench.host.link, FilesToRead{program, PathName(QFile::encodeName(bench.loaderPath))}, WriteOptions{});
    run.ShowResultIn(box);
    EXPECT_EQ(run.Run().result.outcome, WriteOutcome::Ok);
    EXPECT_EQ(box.shown, (std::vector<std::pair<QString, bool>>{{QStringLiteral("O.K."), true}}));
    EXPECT_FALSE(bench.host.port.IsOpen());

    bench.host.board.reset();  // the pseudo-terminal is gone
    box.shown.clear();
    BoardRun again(bench.host.port, bench.host.link, FilesToRead{program, PathName(QFile::encodeName(bench.loaderPath))}, WriteOptions{});
    again.ShowResultIn(box);
    const BoardOutcome &outcome = again.Run();
    EXPECT_FALSE(outcome.opened);
    ASSERT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(box.shown[0].first, outcome.result.message);
    EXPECT_TRUE(box.shown[0].first.startsWith(QStringLiteral("Cannot open "))) << box.shown[0].first.toStdString();
}

}  // namespace
}  // namespace qw735::test
