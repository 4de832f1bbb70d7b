// SPDX-License-Identifier: GPL-2.0-or-later
#include "numbering/SerialFormat.h"
#include "numbering/SerialSources.h"
#include "tests/support/HostFixture.h"
#include "tests/support/Process.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <numeric>
#include <random>
#include <set>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

std::string Bytes(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

std::expected<std::unique_ptr<SerialSource>, SerialError> Open(const std::string &text)
{
    const auto source = ParseSerialSource(text);
    if (!source)
        return std::unexpected(source.error());
    return OpenSerialSource(*source);
}

// `message` with each %1 replaced by `path`.
std::string With(std::string message, const QString &path)
{
    for (std::size_t at; (at = message.find("%1")) != std::string::npos;)
        message.replace(at, 2, Bytes(path));
    return message;
}

// The values of `lines`, one a line, as a taker printed them.
std::vector<std::uint64_t> Values(const QString &lines)
{
    std::vector<std::uint64_t> values;
    for (const QString &line : lines.split(u'\n', Qt::SkipEmptyParts))
        values.push_back(line.toULongLong());
    return values;
}

TEST(CounterSource, GivesTheNumberItHoldsAndKeepsTheOneAfter)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("serial.txt"), "1000\n");
    auto source = Open("counter:" + Bytes(path));
    ASSERT_TRUE(source) << source.error().text;
    SerialSource &counter = **source;
    EXPECT_EQ(counter.Describe(), "counter:" + Bytes(path));

    EXPECT_EQ(counter.Peek(), 1000u);
    EXPECT_EQ(ReadFile(path), "1000\n");  // a look takes nothing
    EXPECT_EQ(counter.Take(), 1000u);
    EXPECT_EQ(ReadFile(path), "1001\n");
    EXPECT_EQ(counter.Take(), 1001u);
    EXPECT_EQ(ReadFile(path), "1002\n");
    // The lock stays beside the file; nothing else is left.
    EXPECT_TRUE(QFileInfo::exists(path + QStringLiteral(".lock")));
    EXPECT_FALSE(QFileInfo::exists(path + QStringLiteral(".tmp")));
}

TEST(CounterSource, ReadsHexAndKeepsThePermissionsAndTheLink)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("serial.txt"), " 0x10\r\n");
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    const QString link = dir.filePath(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(path, link));
    auto source = Open("counter:" + Bytes(link));
    ASSERT_TRUE(source) << source.error().text;
    EXPECT_EQ((*source)->Take(), 16u);
    // The file the link names got the next number; the link is still one.
    EXPECT_EQ(ReadFile(path), "17\n");
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// What a counter file holds (nothing: no file), and why it is refused
// before any board starts.
struct CounterRow {
    const char *name;
    std::optional<QByteArray> content;
    SerialError::Kind kind;
    const char *message;  // %1: the counter file
};

class CounterRefusedTest : public ::testing::TestWithParam<CounterRow> {};

TEST_P(CounterRefusedTest, AtOpen)
{
    const CounterRow &row = GetParam();
    QTemporaryDir dir;
    const QString path = row.content ? WriteFile(dir, QStringLiteral("serial.txt"), *row.content) : dir.filePath(QStringLiteral("serial.txt"));
    const auto source = Open("counter:" + Bytes(path));
    ASSERT_FALSE(source);
    EXPECT_EQ(source.error().kind, row.kind);
    EXPECT_EQ(source.error().text, With(row.message, path));
}

INSTANTIATE_TEST_SUITE_P(
    Counters, CounterRefusedTest,
    ::testing::Values(CounterRow{"Missing", std::nullopt, SerialError::Kind::CannotOpen, "Cannot read the counter file %1: No such file or directory"},
                      CounterRow{"Text", "abc\n", SerialError::Kind::BadContent,
                                 "The counter file %1 holds 'abc', not the next number (decimal, or hexadecimal after 0x)"},
                      CounterRow{"Empty", "", SerialError::Kind::BadContent,
                                 "The counter file %1 holds '', not the next number (decimal, or hexadecimal after 0x)"},
                      CounterRow{"Negative", "-3", SerialError::Kind::BadContent,
                                 "The counter file %1 holds '-3', not the next number (decimal, or hexadecimal after 0x)"},
                      CounterRow{"Escapes", "1\x1b[2J\n", SerialError::Kind::BadContent,
                                 "The counter file %1 holds '1\\x1B[2J', not the next number (decimal, or hexadecimal after 0x)"},
                      CounterRow{"Huge", QByteArray(5000, '1'), SerialError::Kind::BadContent,
                                 "Cannot read the counter file %1: it is larger than 4096 bytes"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CounterSource, AFolderThatIsNotThereIsSaidAtOpen)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("none/serial.txt"));
    const auto source = Open("counter:" + Bytes(path));
    ASSERT_FALSE(source);
    EXPECT_EQ(source.error().kind, SerialError::Kind::CannotOpen);
    EXPECT_EQ(source.error().text, With("Cannot open the lock file %1.lock of the counter file %1: No such file or directory", path));
}

TEST(CounterSource, StopsAtTheLargestNumber)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("serial.txt"), "18446744073709551615\n");
    auto source = Open("counter:" + Bytes(path));
    ASSERT_TRUE(source) << source.error().text;
    const auto taken = (*source)->Take();
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().kind, SerialError::Kind::Exhausted);
    EXPECT_EQ(taken.error().text, With("The counter file %1 is at 18446744073709551615, the largest number there is", path));
    EXPECT_EQ(ReadFile(path), "18446744073709551615\n");
}

// Threads of one run take from one source, and from a second source on the
// same file (another object, as another part of a program would open it).
TEST(CounterSource, ThreadsNeverShareANumber)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("serial.txt"), "0\n");
    auto first = Open("counter:" + Bytes(path));
    auto second = Open("counter:" + Bytes(path));
    ASSERT_TRUE(first && second);
    std::vector<std::vector<std::uint64_t>> taken(8);
    std::vector<std::thread> threads;
    for (std::size_t board = 0; board < taken.size(); ++board)
        threads.emplace_back([&, board] {
            SerialSource &source = board % 2 ? **first : **second;
            for (int take = 0; take < 8; ++take)
                if (const auto value = source.Take())
                    taken[board].push_back(*value);
        });
    for (std::thread &thread : threads)
        thread.join();
    std::set<std::uint64_t> all;
    for (const auto &values : taken)
        all.insert(values.begin(), values.end());
    EXPECT_EQ(all.size(), 64u);
    EXPECT_EQ(*all.rbegin(), 63u);
    EXPECT_EQ(ReadFile(path), "64\n");
}

// While another program holds the counter, a run that ends stops waiting.
TEST(CounterSource, AWaitForTheLockEndsWhenTheRunDoes)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("serial.txt"), "5\n");
    auto source = Open("counter:" + Bytes(path));
    ASSERT_TRUE(source);
    const int other = ::open(QFile::encodeName(path + QStringLiteral(".lock")).constData(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    std::atomic<bool> giveUp = false;
    std::thread end([&] {
        std::this_thread::sleep_for(100ms);
        giveUp = true;
    });
    const auto taken = (*source)->Take(&giveUp);
    end.join();
    ::close(other);
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().kind, SerialError::Kind::Interrupted);
    EXPECT_EQ(taken.error().text, With("The run ended while another program held the counter file %1", path));
    EXPECT_EQ(ReadFile(path), "5\n");
}

TEST(ListSource, GivesEachValueOnceInOrderAndGoesOnAfterARestart)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("values.txt"), "10\n\n  0x20\r\n30\n");
    {
        auto source = Open("list:" + Bytes(path));
        ASSERT_TRUE(source) << source.error().text;
        EXPECT_EQ((*source)->Describe(), "list:" + Bytes(path));
        EXPECT_EQ((*source)->Peek(), 10u);
        EXPECT_FALSE(QFileInfo::exists(path + QStringLiteral(".used")));  // a look takes nothing
        EXPECT_EQ((*source)->Take(), 10u);
        EXPECT_EQ((*source)->Take(), 32u);
        EXPECT_EQ(ReadFile(path + QStringLiteral(".used")), "2 32\n");
    }
    // A new run (another process, after a crash or a restart) goes on
    // from the line after the last one taken.
    auto restarted = Open("list:" + Bytes(path));
    ASSERT_TRUE(restarted) << restarted.error().text;
    EXPECT_EQ((*restarted)->Peek(), 30u);
    EXPECT_EQ((*restarted)->Take(), 30u);
    const auto none = (*restarted)->Take();
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, SerialError::Kind::Exhausted);
    EXPECT_EQ(none.error().text, With("The list file %1 has no value left: all 3 were taken (%1.used)", path));
    EXPECT_EQ(ReadFile(path + QStringLiteral(".used")), "3 30\n");
    EXPECT_EQ(ReadFile(path), "10\n\n  0x20\r\n30\n");  // the list itself is never written
}

// What a list holds and what its used file says (nothing: no file), and why
// it is refused before any board starts.
struct ListRow {
    const char *name;
    QByteArray list;
    std::optional<QByteArray> used;
    SerialError::Kind kind;
    const char *message;  // %1: the list file
};

class ListRefusedTest : public ::testing::TestWithParam<ListRow> {};

TEST_P(ListRefusedTest, AtOpen)
{
    const ListRow &row = GetParam();
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("values.txt"), row.list);
    if (row.used)
        WriteFile(dir, QStringLiteral("values.txt.used"), *row.used);
    const auto source = Open("list:" + Bytes(path));
    ASSERT_FALSE(source);
    EXPECT_EQ(source.error().kind, row.kind);
    EXPECT_EQ(source.error().text, With(row.message, path));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ListRefusedTest,
    ::testing::Values(ListRow{"NotAValue", "1\n2\nabc\n", std::nullopt, SerialError::Kind::BadContent, "The list file %1, line 3, holds 'abc', not a value"},
                      ListRow{"LongLine", "1\n" + QByteArray(100, 'x'), std::nullopt, SerialError::Kind::BadContent,
                              "The list file %1, line 2, holds 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...', not a value"},
                      ListRow{"Twice", "7\n20\n9\n0x14\n", std::nullopt, SerialError::Kind::BadContent, "The list file %1 gives 20 twice, on lines 2 and 4"},
                      ListRow{"ChangedLine", "10\n21\n30\n", "2 20\n", SerialError::Kind::ListChanged,
                              "The list file %1 changed: its value 2 (line 2) was 20 when it was taken and is 21 now; %1.used counts the values taken"},
                      ListRow{"LineAddedAbove", "5\n10\n20\n30\n", "2 20\n", SerialError::Kind::ListChanged,
                              "The list file %1 changed: its value 2 (line 2) was 20 when it was taken and is 10 now; %1.used counts the values taken"},
                      ListRow{"Shortened", "10\n", "2 20\n", SerialError::Kind::ListChanged, "The list file %1 has 1 value, but %1.used says 2 were taken"},
                      ListRow{"UsedNotCounts", "10\n", "ten\n", SerialError::Kind::BadContent,
                              "The file %1.used holds 'ten', not the count of values taken from %1 and the last of them"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ListSource, AMissingListIsSaidAtOpenAndAnEmptyOneAtTheTake)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("values.txt"));
    const auto missing = Open("list:" + Bytes(path));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, SerialError::Kind::CannotOpen);
    EXPECT_EQ(missing.error().text, With("Cannot read the list file %1: No such file or directory", path));

    WriteFile(dir, QStringLiteral("values.txt"), "\n\n");
    auto empty = Open("list:" + Bytes(path));
    ASSERT_TRUE(empty) << empty.error().text;
    const auto none = (*empty)->Take();
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, SerialError::Kind::Exhausted);
    EXPECT_EQ(none.error().text, With("The list file %1 has no value left: all 0 were taken (%1.used)", path));
}

// Two processes take from one source at the same time, eight boards each:
// sixteen different numbers, none skipped.
class TwoTakersTest : public ::testing::TestWithParam<const char *> {};

TEST_P(TwoTakersTest, GetSixteenDifferentNumbers)
{
    QTemporaryDir dir;
    const bool counter = std::string_view(GetParam()) == "counter";
    QByteArray list;
    for (int value = 100; value < 120; ++value)
        list += QByteArray::number(value) + '\n';
    const QString path = WriteFile(dir, QStringLiteral("serial"), counter ? "100\n" : list);
    const QByteArray source = GetParam() + QByteArray(":") + QFile::encodeName(path);
    Process first({QW735_TAKE_SERIAL_PATH, source, "8"});
    Process second({QW735_TAKE_SERIAL_PATH, source, "8"});
    const ProcessRun firstRun = first.Wait();
    const ProcessRun secondRun = second.Wait();
    ASSERT_EQ(firstRun.status, 0) << firstRun.err.toStdString();
    ASSERT_EQ(secondRun.status, 0) << secondRun.err.toStdString();
    std::vector<std::uint64_t> all = Values(firstRun.out);
    const std::vector<std::uint64_t> others = Values(secondRun.out);
    EXPECT_EQ(all.size(), 8u);
    EXPECT_EQ(others.size(), 8u);
    all.insert(all.end(), others.begin(), others.end());
    std::ranges::sort(all);
    std::vector<std::uint64_t> sixteen(16);
    std::iota(sixteen.begin(), sixteen.end(), 100);
    EXPECT_EQ(all, sixteen);
    EXPECT_EQ(ReadFile(counter ? path : path + QStringLiteral(".used")), counter ? "116\n" : "16 115\n");
}

INSTANTIATE_TEST_SUITE_P(Sources, TwoTakersTest, ::testing::Values("counter", "list"),
                         [](const auto &info) { return std::string(info.param); });

// A crash at any point of a take, 50 times: a taker that prints each
// number as soon as it has it is killed with SIGKILL after a random while.
// The counter never goes back, no number is given twice, and each kill
// loses at most the one number being taken. (SIGKILL leaves the kernel's
// caches; that a power cut loses nothing either rests on the flushes of
// the new file and of its folder before a number is given.)
TEST(CounterSource, KilledTakersNeverGiveANumberTwice)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("serial.txt"), "1\n");
    const QByteArray source = "counter:" + QFile::encodeName(path);
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    constexpr int Kills = 50;
    std::set<std::uint64_t> given;
    std::uint64_t next = 1;
    for (int kill = 0; kill < Kills; ++kill) {
        Process taker({QW735_TAKE_SERIAL_PATH, source, "0"});
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
        ASSERT_EQ(::kill(taker.Pid(), SIGKILL), 0);
        const ProcessRun run = taker.Wait();
        ASSERT_EQ(run.signal, SIGKILL) << run.err.toStdString();
        // Whole, always: a number, never an empty or half-written file.
        const auto now = ParseSerialValue(ReadFile(path).toStdString());
        ASSERT_TRUE(now) << "'" << ReadFile(path).toStdString() << "'";
        EXPECT_GE(*now, next);
        next = *now;
        for (const std::uint64_t value : Values(run.out)) {
            EXPECT_TRUE(given.insert(value).second) << value << " was given twice";
            EXPECT_LT(value, next);
        }
    }
    const std::uint64_t skipped = next - 1 - given.size();
    EXPECT_LE(skipped, static_cast<std::uint64_t>(Kills));
    std::printf("%zu numbers taken by %d killed takers, %llu skipped\n", given.size(), Kills, static_cast<unsigned long long>(skipped));
}

}  // namespace
}  // namespace qw735::test
