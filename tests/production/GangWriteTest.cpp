// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/GangWrite.h"
#include "tests/support/HostFixture.h"

#include <gtest/gtest.h>
#include <new>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

// A write that throws ends its board as failed, its port closed, and the
// board's end is delivered like any other, so that the front end writes its
// record: a lone board, which runs on the calling thread, as much as boards
// on threads of their own.
TEST(GangWrite, AWriteThatThrowsEndsItsBoardAsFailed)
{
    for (const int count : {1, 2}) {
        std::vector<std::unique_ptr<sim::TargetSim>> boards;
        std::vector<PortName> ports;
        for (int i = 0; i < count; ++i) {
            boards.push_back(std::make_unique<sim::TargetSim>());
            ports.push_back(*PortName::Parse(QString::fromStdString(boards.back()->SlavePath())));
        }
        WriteInput input;
        input.loader = TestLoader(3);
        GangWrite gang(ports, std::nullopt, input, WriteOptions{});
        // Called on the board's thread, inside its write, as the loader
        // transfer begins.
        QObject::connect(&gang, &GangWrite::MaximumSet, [](int, ProgressStage, float) { throw std::bad_alloc(); });
        int ended = 0;
        QObject::connect(&gang, &GangWrite::BoardEnded, [&ended](int) { ++ended; });
        EXPECT_NO_THROW(gang.Start()) << count << " board(s)";
        EXPECT_TRUE(PumpUntil([&gang] { return !gang.Running(); }, 5s)) << count << " board(s)";
        EXPECT_EQ(ended, count);
        for (int board = 0; board < count; ++board) {
            EXPECT_TRUE(gang.Outcome(board).failure) << "board " << board << " of " << count;
            EXPECT_TRUE(gang.Outcome(board).opened) << "board " << board << " of " << count;
        }
    }
}

}  // namespace
}  // namespace qw735::test
