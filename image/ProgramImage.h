// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qw735 {

// The program image sent to the board. Only the data area at its start ever
// receives bytes from a program file; the rest keeps the erased value 0xFF.
inline constexpr std::size_t ImageSize = 0x40000;
inline constexpr std::int64_t DataAreaSize = 0x20000;

struct ProgramImage {
    std::vector<std::uint8_t> ImageBuffer = std::vector<std::uint8_t>(ImageSize, 0xFF);
    // Highest address that received a data byte in the last load; 0 when none
    // did (so "nothing" and "only address 0" look alike, on purpose).
    std::int32_t MaxAddress = 0;

    // Every byte back to 0xFF, MaxAddress 0.
    void Clear()
    {
        ImageBuffer.assign(ImageSize, 0xFF);
        MaxAddress = 0;
    }
};

}  // namespace qw735
