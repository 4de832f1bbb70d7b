// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/HostFixture.h"
#include "writer/BootHandshake.h"

#include <gtest/gtest.h>
#include <thread>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

struct HandshakeCase {
    const char *name;
    sim::BoardScript script;
    bool accepted;
    Bytes sent;
    double maxMs;
};

void PrintTo(const HandshakeCase &c, std::ostream *out)
{
    *out << c.name;
}

class BootHandshakeCases : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(BootHandshakeCases, SendsExactlyTheseBytes)
{
    const HandshakeCase &c = GetParam();
    HostSide host(c.script);
    ASSERT_TRUE(host.port.Open());
    const auto start = Clock::now();
    EXPECT_EQ(BootHandshake(host.link), c.accepted);
    EXPECT_LT(MsSince(start), c.maxMs);
    host.board->WaitForReceived(c.sent.size() + 1, 50ms);
    EXPECT_EQ(host.board->ReceivedValues(), c.sent);
    EXPECT_EQ(host.board->SettingsSeen().at(sim::Phase::Sync).baud, 9600);
}

INSTANTIATE_TEST_SUITE_P(
    Handshake, BootHandshakeCases,
    ::testing::Values(
        HandshakeCase{"AnsweredAtOnce", {}, true, {0x00, 0x55}, 300},
        // Answering only the second 0x00 proves the attempt is re-armed.
        HandshakeCase{"AnsweredLate", Script([](auto &s) { s.syncAfterZeros = 2; }), true, {0x00, 0x00, 0x55}, 300},
        HandshakeCase{"AnyValueSynchronises", Script([](auto &s) { s.syncReply = 0xFF; }), true, {0x00, 0x55}, 300},
        HandshakeCase{"WrongReplyFailsAtOnce", Script([](auto &s) { s.handshakeReply = 0x00; }), false, {0x00, 0x55}, 300},
        HandshakeCase{"NoReplyFailsAfterHalfASecond", Script([](auto &s) { s.handshakeReply.reset(); }), false, {0x00, 0x55}, 800}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BootHandshake, GivesUpAfter51SilentAttempts)
{
    sim::BoardScript silent;
    silent.syncAfterZeros = 0;
    HostSide host(silent);
    ASSERT_TRUE(host.port.Open());
    const auto start = Clock::now();
    EXPECT_FALSE(BootHandshake(host.link));
    EXPECT_GE(MsSince(start), 510);
    host.board->WaitForReceived(52, 100ms);
    EXPECT_EQ(host.board->ReceivedValues(), Bytes(51, 0x00));
}

TEST(BootHandshake, AcceptsAaFirstAmongSeveralAndDropsTheRest)
{
    sim::BoardScript script;
    script.handshakeReply.reset();
    HostSide host(script);
    ASSERT_TRUE(host.port.Open());
    std::thread replier([&] {
        if (host.board->WaitForReceived(2, 2s))
            host.board->SendToHost({0xAA, 0x01, 0x02});
    });
    EXPECT_TRUE(BootHandshake(host.link));
    replier.join();
    EXPECT_EQ(host.port.WaitingCount(), 0);
}

TEST(BootHandshake, EndsWhenThePortIsLost)
{
    sim::BoardScript script;
    script.syncAfterZeros = 0;
    script.hangUpAfter = 3;
    HostSide host(script);
    ASSERT_TRUE(host.port.Open());
    const auto start = Clock::now();
    EXPECT_FALSE(BootHandshake(host.link));
    EXPECT_TRUE(host.link.IsDown());
    EXPECT_LT(MsSince(start), 300);
}

}  // namespace
}  // namespace qw735::test
