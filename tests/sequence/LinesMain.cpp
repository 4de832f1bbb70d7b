// SPDX-License-Identifier: GPL-2.0-or-later
#include <QCoreApplication>
#include <cstdlib>
#include <cstring>
#include <string>
#include <gtest/gtest.h>
#include <unistd.h>

// These tests give their pseudo-terminals modem lines: the interposer must be
// in the process from its start, so the executable runs itself again with it.
int main(int argc, char **argv)
{
    const char *preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, QW735_LINES_PATH)) {
        ::setenv("LD_PRELOAD", QW735_LINES_PATH, 1);
        // Under the address sanitizer its runtime must come first among the
        // libraries, which a preloaded one is not; the interposer takes
        // ioctl alone, none of what the sanitizer intercepts.
        std::string sanitizer = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        ::setenv("ASAN_OPTIONS", (sanitizer.empty() ? sanitizer : sanitizer + ":").append("verify_asan_link_order=0").c_str(), 1);
        ::execv("/proc/self/exe", argv);
        return 127;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
