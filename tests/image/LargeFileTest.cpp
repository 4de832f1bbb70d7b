// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ProgramFile.h"

#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>

namespace {

long PeakResidentKib()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The loader streams: a file far larger than the image costs no more memory
// than a small one, whatever its lines look like: records, junk, and one
// line that never ends. Each test runs in a process of its own, and the file
// is written a line or 64 KiB at a time, so the peak before the load is low.
TEST(LargeFile, HundredMegabytesLoadInFlatMemory)
{
    constexpr long long FileBytes = 100LL * 1024 * 1024;
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("large.mot")).toStdString();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    const std::string endless(64 * 1024, '7');
    for (long long i = 0, written = 0; written < FileBytes; ++i) {
        char record[96];
        std::snprintf(record, sizeof record, "S214%06llX%016llX%016llX", (i * 16) % 0x20000, i, ~i);
        unsigned sum = 0;
        for (int k = 2; k < 42; k += 2)
            sum += static_cast<unsigned>(std::stoul(std::string(record + k, 2), nullptr, 16));
        std::snprintf(record + 42, sizeof record - 42, "%02X\r\n", ~sum & 0xFF);
        const std::string text = written < FileBytes / 3       ? std::string(record)
                                 : written < 2 * FileBytes / 3 ? (i % 3 == 0 ? std::string(1000, 'x') + "\n" : "S5 no data record " + std::to_string(i) + "\r")
                                                               : endless;
        written += static_cast<long long>(std::fwrite(text.data(), 1, text.size(), file));
    }
    std::fclose(file);

    qw735::ProgramImage image;
    image.Clear();
    const long before = PeakResidentKib();
    ASSERT_TRUE(qw735::LoadProgramFile(path, image));
    EXPECT_LT(PeakResidentKib() - before, 4096);
}

}  // namespace
