// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/SRecordImage.h"
#include "link/PortSettings.h"
#include "tests/support/WriteFixture.h"
#include "writer/Messages.h"
#include "writer/SendImage.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <random>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

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

TEST(WriteTarget, BootModeAt9600AndLoaderAt38400OnARawLine)
{
    WriteBench bench;
    ASSERT_EQ(bench.Write(SmallProgram).outcome, WriteOutcome::Ok);
    const auto seen = bench.host.board->SettingsSeen();
    const sim::LineSettings boot{9600, true, false, false};
    const sim::LineSettings loader{38400, true, false, false};
    for (sim::Phase phase : {sim::Phase::Sync, sim::Phase::Handshake, sim::Phase::LoaderSize, sim::Phase::LoaderBody})
        EXPECT_EQ(seen.at(phase), boot) << sim::PhaseName(phase);
    for (sim::Phase phase : {sim::Phase::Command, sim::Phase::Header, sim::Phase::Blocks, sim::Phase::Checksum})
        EXPECT_EQ(seen.at(phase), loader) << sim::PhaseName(phase);
    for (const sim::ReceivedByte &byte : bench.host.board->Received())
        EXPECT_FALSE(byte.garbled);
    // The switch happens on the open port; the caller restores 9600 later.
    EXPECT_EQ(bench.host.port.Settings(), QString::fromLatin1(LoaderSettings));
    EXPECT_TRUE(bench.host.port.IsOpen());
}

TEST(WriteTarget, ReportsProgressOfLoaderThenImage)
{
    WriteBench bench({}, 22);
    ASSERT_EQ(bench.Write(SmallProgram).outcome, WriteOutcome::Ok);
    // 16 bytes at 0: MaxAddress 15 rounds to one block.
    const std::vector<std::pair<char, float>> expected = {{'M', 22}, {'V', 11}, {'V', 22}, {'V', 22},
                                                          {'M', 64}, {'V', 64}, {'V', 64}, {'V', 0}};
    EXPECT_EQ(bench.progress.calls, expected);
}

// Builds S-record files of one binary with Debian's own tools and checks
// that the board receives exactly that binary, 0xFF-filled.
class IndependentConversion : public ::testing::TestWithParam<std::pair<const char *, QStringList>> {};

TEST_P(IndependentConversion, BoardReceivesTheSameBytes)
{
    const auto &[name, command] = GetParam();
    if (QStandardPaths::findExecutable(command[0]).isEmpty())
        GTEST_SKIP() << command[0].toStdString() << " is not installed";

    WriteBench bench;
    std::mt19937 random(735);
    QByteArray binary(6000, 0);
    for (char &byte : binary)
        byte = static_cast<char>(random());
    const QString binPath = WriteFile(bench.dir, QStringLiteral("program.bin"), binary);
    const QString motPath = bench.dir.filePath(QStringLiteral("program.mot"));
    QStringList args = command.mid(1);
    args.replaceInStrings(QStringLiteral("IN"), binPath);
    args.replaceInStrings(QStringLiteral("OUT"), motPath);
    ASSERT_EQ(QProcess::execute(command[0], args), 0);
    if (QString(name).contains(u"Crlf")) {
        QFile file(motPath);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QByteArray text = file.readAll().replace("\n", "\r\n");
        file.close();
        WriteFile(bench.dir, QStringLiteral("program.mot"), text);
    }

    ASSERT_EQ(bench.WriteFileAt(motPath).outcome, WriteOutcome::Ok);
    // The tools place the binary at 0x1234.
    Bytes expected(static_cast<std::size_t>(TransferSize(0x1234 + 6000 - 1)), 0xFF);
    std::copy(binary.begin(), binary.end(), expected.begin() + 0x1234);
    EXPECT_EQ(bench.host.board->LastWrite().image, expected);
    EXPECT_TRUE(bench.host.board->LastWrite().checksumRight);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, IndependentConversion,
    ::testing::Values(
        std::pair{"SrecCatS1Lf", QStringList{"srec_cat", "IN", "-binary", "-offset", "0x1234", "-o", "OUT", "-motorola", "-address-length=2"}},
        std::pair{"SrecCatS2Crlf", QStringList{"srec_cat", "IN", "-binary", "-offset", "0x1234", "-o", "OUT", "-motorola", "-address-length=3"}},
        std::pair{"SrecCatS3Lf", QStringList{"srec_cat", "IN", "-binary", "-offset", "0x1234", "-o", "OUT", "-motorola", "-address-length=4"}},
        std::pair{"ObjcopyS3Crlf", QStringList{"objcopy", "-I", "binary", "-O", "srec", "--srec-forceS3", "--change-addresses", "0x1234", "IN", "OUT"}}),
    [](const auto &info) { return std::string(info.param.first); });

TEST(WriteTarget, FullDataAreaSendsOneBlockPastIt)
{
    WriteBench bench;
    QByteArray mot;
    for (int address = 0; address < 0x20000; address += 32) {
        QByteArray line = "S224" + QByteArray::number(address, 16).rightJustified(6, '0').toUpper();
        for (int i = 0; i < 32; ++i)
            line += QByteArray::number((address + i) % 251, 16).rightJustified(2, '0').toUpper();
        mot += line + "00\n";
    }
    ASSERT_EQ(bench.Write(mot).outcome, WriteOutcome::Ok);
    const Bytes image = bench.host.board->LastWrite().image;
    ASSERT_EQ(image.size(), 0x20040u);
    EXPECT_EQ(image[0x1FFFF], 0x1FFFF % 251);
    EXPECT_EQ(Bytes(image.begin() + 0x20000, image.end()), Bytes(64, 0xFF));
}

// Files read once serve any number of writes (boards written one after the
// other, or at once): a write leaves its input as it was read.
TEST(WriteTarget, InputReadOnceServesEveryWriteAlike)
{
    WriteBench bench(Script([](auto &s) { s.keepServing = true; }));
    const auto input = ReadWriteInput(QFile::encodeName(WriteFile(bench.dir, QStringLiteral("p.mot"), SmallProgram)),
                                      QFile::encodeName(bench.loaderPath), InputReader::Interruptible);
    ASSERT_TRUE(input);
    for (int write = 1; write <= 2; ++write) {
        bench.host.port.ChangeSettings(QString::fromLatin1(BootSettings));
        ASSERT_TRUE(bench.host.port.Open());
        EXPECT_EQ(WriteTarget(bench.host.link, *input, bench.progress, bench.messages).outcome, WriteOutcome::Ok);
        bench.host.port.Close();
        ASSERT_TRUE(PumpUntil([&] { return bench.host.board->WritesCompleted() == write; }, 5s));
        EXPECT_EQ(bench.host.board->LastWrite().image.size(), 64u) << "write " << write;
        EXPECT_EQ(input->image.MaxAddress, 15);
    }
}

// Every message is checked through both front ends by the fault matrix;
// here, what the sequence leaves behind for its caller to clean up.
TEST(WriteTarget, LeavesThePortOpenAtTheSpeedOfTheLastStep)
{
    const std::pair<sim::BoardScript, const char *> cases[] = {
        {Script([](auto &s) { s.echoFaultAt = 7, s.echoFaultReply = 0x13; }), BootSettings},
        {Script([](auto &s) { s.commandReply = 0x15; }), LoaderSettings},
    };
    for (const auto &[script, settings] : cases) {
        WriteBench bench(script);
        EXPECT_NE(bench.Write(SmallProgram).outcome, WriteOutcome::Ok);
        EXPECT_TRUE(bench.host.port.IsOpen());
        EXPECT_EQ(bench.host.port.Settings(), QString::fromLatin1(settings));
    }
}

}  // namespace
}  // namespace qw735::test
