// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-bench-parse FILE [REPEAT]: loads FILE into the image REPEAT times
// (default 1) and reports the time per load and the peak resident memory
// before and after, in KiB, on stdout:
//   loads 1  ms/load 1.234  peak_kib_before 3456  peak_kib_after 3460  max_address 0x1FFFF

#include "image/ProgramFile.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

long PeakResidentKib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: qw735-bench-parse FILE [REPEAT]\n");
        return 64;
    }
    const int repeat = argc == 3 ? std::atoi(argv[2]) : 1;
    qw735::ProgramImage image;  // allocated and touched before the baseline
    image.Clear();
    const long before = PeakResidentKib();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repeat; ++i) {
        if (const auto loaded = qw735::LoadProgramFile(argv[1], image); !loaded) {
            std::printf("%s\n", qw735::DescribeProgramError(loaded.error(), argv[1]).c_str());
            return 7;
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("loads %d  ms/load %.3f  peak_kib_before %ld  peak_kib_after %ld  max_address 0x%X\n", repeat,
                ms / repeat, before, PeakResidentKib(), static_cast<unsigned>(image.MaxAddress));
    return 0;
}
