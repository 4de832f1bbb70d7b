// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/ProductionRecord.h"
#include "tests/support/HostFixture.h"

#include <QFile>
#include <gtest/gtest.h>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

// Several processes may append to one record file: each record goes in
// whole, under a lock, or not at all.
TEST(ProductionRecord, AppendsWholeRecordsUnderALock)
{
    QTemporaryDir dir;
    // A record left unfinished by another writer stays apart from ours.
    const QString path = WriteFile(dir, QStringLiteral("r.jsonl"), "{\"a\":");
    auto file = RecordFile::Open(path);
    ASSERT_TRUE(file);
    const int other = ::open(QFile::encodeName(path).constData(), O_RDWR);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    std::thread append([&] { EXPECT_TRUE(file->Append("{\"b\":2}\n")); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ReadFile(path), "{\"a\":");  // waits for the other writer's lock
    // A run that ends meanwhile gives up its record, and says why.
    const std::atomic<bool> ended = true;
    const auto givenUp = file->Append("{\"z\":0}\n", &ended);
    ASSERT_FALSE(givenUp);
    EXPECT_EQ(givenUp.error().kind, RecordError::Kind::GaveUp);
    EXPECT_EQ(givenUp.error().text, QStringLiteral("Cannot write the report file %1: the run ended while another program held the file").arg(path));
    ::flock(other, LOCK_UN);
    append.join();
    ::close(other);
    EXPECT_EQ(ReadFile(path), "{\"a\":\n{\"b\":2}\n");

    // A write cut short (here by a file size limit, in a child process) is
    // taken back.
    const auto appendPastTheLimit = [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{20, 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const auto appended = file->Append("{\"c\":\"a record too long to fit\"}\n");
        std::_Exit(!appended && appended.error().kind == RecordError::Kind::CannotWrite
                           && appended.error().text.startsWith(QStringLiteral("Cannot write the report file"))
                       ? 0
                       : 1);
    };
    EXPECT_EXIT(appendPastTheLimit(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadFile(path), "{\"a\":\n{\"b\":2}\n");
}

}  // namespace
}  // namespace qw735::test
