// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortSettings.h"
#include "tests/support/WriteFixture.h"
#include "writer/BootHandshake.h"
#include "writer/SendImage.h"
#include "writer/SendLoader.h"

#include <QFile>
#include <gtest/gtest.h>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

TEST(TransferSize, RoundsHalvesToTheEvenNeighbour)
{
    const std::pair<std::int32_t, std::int32_t> cases[] = {
        {0, 64}, {32, 64}, {33, 128}, {63, 128}, {64, 128}, {90, 128}, {96, 192},
        {160, 192}, {224, 320}, {0x1FFFF, 0x20040},
    };
    for (const auto &[maxAddress, size] : cases)
        EXPECT_EQ(TransferSize(maxAddress), size) << "MaxAddress " << maxAddress;
}

TEST(ImageChecksum, IsTheComplementOfTheByteSum)
{
    EXPECT_EQ(ImageChecksum(Bytes(64, 0xFF)), 0x3F);
    EXPECT_EQ(ImageChecksum(Bytes{}), 0xFF);
    EXPECT_EQ(ImageChecksum(Bytes{0x01, 0x02, 0xFF}), 0xFD);
}

TEST(ReadLoaderFile, RefusesMissingEmptyAndOversizedLoaders)
{
    QTemporaryDir dir;
    const auto read = [&](const QString &name, const QByteArray &data) {
        return ReadLoaderFile(QFile::encodeName(WriteFile(dir, name, data)), InputKinds::Files);
    };
    EXPECT_EQ(ReadLoaderFile(QFile::encodeName(dir.filePath(QStringLiteral("absent.bin"))), InputKinds::Files).error(),
              TransferResult::LoaderMissing);
    EXPECT_EQ(read(QStringLiteral("empty.bin"), {}).error(), TransferResult::LoaderMissing);
    EXPECT_EQ(read(QStringLiteral("big.bin"), QByteArray(0x10000, 'x')).error(), TransferResult::LoaderTooLarge);
    EXPECT_EQ(read(QStringLiteral("max.bin"), QByteArray(0xFFFF, 'x'))->size(), 0xFFFF);
}

// How echo and end-mark faults end the transfer is checked, byte count and
// message, by the fault matrix through both front ends.
TEST(SendLoader, SendsSizeThenEchoedBytesThenTakesTheEndMark)
{
    HostSide host;
    ASSERT_TRUE(host.port.Open());
    ASSERT_TRUE(BootHandshake(host.link));
    RecordingProgress progress;
    const QByteArray loader("\xA1\xB2\xC3", 3);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendLoader(host.link, loader, progress), TransferResult::Done);
    // Two 10 ms pauses after the size bytes.
    EXPECT_GE(MsSince(start), 20.0);
    host.board->WaitForReceived(7, 1s);
    EXPECT_EQ(host.board->ReceivedValues(), (Bytes{0x00, 0x55, 0x00, 0x03, 0xA1, 0xB2, 0xC3}));
    EXPECT_EQ(progress.Values('M'), std::vector<float>{3});
    EXPECT_EQ(progress.Values('V'), std::vector<float>{3});
}

// A USB adapter hands the last echo and the end mark over in one packet; the
// end mark must not be dropped with the echo and then waited for in vain.
TEST(SendLoader, TakesAnEndMarkThatCameWithTheLastEcho)
{
    HostSide host(Script([](auto &s) { s.batchReplies = true; }));
    ASSERT_TRUE(host.port.Open());
    ASSERT_TRUE(BootHandshake(host.link));
    RecordingProgress progress;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendLoader(host.link, TestLoader(3), progress), TransferResult::Done);
    EXPECT_LT(MsSince(start), Link::ReplyLimitMs / 2);
}

TEST(SendLoader, MovesTheProgressEveryElevenBytes)
{
    const std::pair<int, std::vector<float>> cases[] = {{10, {10}}, {11, {11, 11}}, {25, {11, 22, 25}}};
    for (const auto &[size, values] : cases) {
        HostSide host;
        ASSERT_TRUE(host.port.Open());
        ASSERT_TRUE(BootHandshake(host.link));
        RecordingProgress progress;
        EXPECT_EQ(SendLoader(host.link, TestLoader(size), progress), TransferResult::Done);
        EXPECT_EQ(progress.Values('V'), values) << size << " bytes";
    }
}

}  // namespace
}  // namespace qw735::test
