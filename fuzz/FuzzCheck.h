// SPDX-License-Identifier: GPL-2.0-or-later
// What the fuzz targets of the image readers check alike.
#pragma once

#include "image/ProgramImage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qw735::fuzz {

// Ends the run as a crash, saying which check of which target failed.
inline void Check(bool condition, const char *target, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "%s: %s\n", target, what);
        std::abort();
    }
}

// Nothing was stored at or above the data area's end, and the image kept
// its size. memcmp rather than a byte loop: the coverage instrumentation
// would make a 128 KiB loop the bulk of every run.
inline void CheckDataAreaOnly(const ProgramImage &image, const char *target)
{
    Check(image.ImageBuffer.size() == ImageSize, target, "image size changed");
    Check(image.MaxAddress >= 0 && image.MaxAddress < DataAreaSize, target, "MaxAddress outside the data area");
    static const std::vector<std::uint8_t> erased(ImageSize - static_cast<std::size_t>(DataAreaSize), 0xFF);
    Check(std::memcmp(image.ImageBuffer.data() + DataAreaSize, erased.data(), erased.size()) == 0, target,
          "data stored at or above the data area's end");
}

}  // namespace qw735::fuzz
