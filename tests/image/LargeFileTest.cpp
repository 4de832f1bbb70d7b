// SPDX-License-Identifier: GPL-2.0-or-later
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr long long FileBytes = 100LL * 1024 * 1024;

// Writes lines from `line(i)` until the file holds FileBytes.
std::string MakeFile(const QTemporaryDir &dir, const char *name, const std::function<std::string(long long)> &line)
{
    const std::string path = dir.filePath(QString::fromLatin1(name)).toStdString();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    long long written = 0;
    for (long long i = 0; written < FileBytes; ++i) {
        const std::string text = line(i);
        written += static_cast<long long>(std::fwrite(text.data(), 1, text.size(), file));
    }
    std::fclose(file);
    return path;
}

// Peak resident memory growth of one whole-process load, in KiB.
long PeakGrowthKib(const std::string &path)
{
    QProcess process;
    process.start(QStringLiteral(QW735_BENCH_PARSE_PATH), {QString::fromStdString(path)});
    process.waitForFinished(120'000);
    const QString out = QString::fromLatin1(process.readAllStandardOutput());
    const auto match = QRegularExpression(QStringLiteral("peak_kib_before (\\d+)  peak_kib_after (\\d+)")).match(out);
    EXPECT_TRUE(match.hasMatch()) << out.toStdString();
    return match.captured(2).toLong() - match.captured(1).toLong();
}

// The loader streams: a file far larger than the image costs no more memory
// than a small one, whatever its lines look like.
TEST(LargeFile, HundredMegabytesLoadInFlatMemory)
{
    QTemporaryDir dir;
    const std::string valid = MakeFile(dir, "valid.mot", [](long long i) {
        char line[96];
        std::snprintf(line, sizeof line, "S214%06llX%032llX%032llX00\r\n", (i * 16) % 0x20000, i, ~i);
        return std::string(line);
    });
    EXPECT_LT(PeakGrowthKib(valid), 4096);

    const std::string junk = MakeFile(dir, "junk.mot", [](long long i) {
        return i % 3 == 0 ? std::string(1000, 'x') + "\n" : "S5 this is no data record, number " + std::to_string(i) + "\r";
    });
    EXPECT_LT(PeakGrowthKib(junk), 4096);

    const std::string oneLine = MakeFile(dir, "oneline.mot", [](long long) { return std::string(1 << 20, '7'); });
    EXPECT_LT(PeakGrowthKib(oneLine), 4096);
}

}  // namespace
