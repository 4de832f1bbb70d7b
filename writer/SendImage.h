// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/TransferResult.h"
#include "writer/WriteOptions.h"

#include <cstdint>
#include <span>

namespace qw735 {

class Link;
class StepTracker;
struct ProgramImage;

// Image transfer to the running loader, at 38400 baud.
inline constexpr std::uint8_t BlockMark = 0x11;       // target: send the next block; host: a block follows
inline constexpr int BlockSize = 64;

// Bytes sent for an image whose highest loaded address is `maxAddress`:
// (R(maxAddress / 64) + 1) x 64, where R rounds to the nearest whole number
// and halves to the even neighbour. It is one block longer than a plain
// round-up when the quotient's fraction is above one half (or exactly one
// half with an odd whole part); loaders in the field expect this size.
std::int32_t TransferSize(std::int32_t maxAddress);

// The byte closing the transfer: NOT (the 8-bit sum of every byte sent).
std::uint8_t ImageChecksum(std::span<const std::uint8_t> sent);
// The checksum a write of `image` as it stands ends with: over its first
// TransferSize(MaxAddress) bytes.
std::uint8_t ImageChecksum(const ProgramImage &image);

// Switches the port to 38400 baud without closing it, gives the loader
// the options' loader start, and streams the image: "P" 0x00 answered by 0x06, four
// 0x00 and the size, blocks of 0x11 and 64 bytes each requested by 0x11,
// then 0x11 and the checksum answered by 0x06.
// The image stays as read: the size sent is worked out here, not written
// back into MaxAddress, so one image serves any number of writes.
TransferResult SendImage(Link &link, const ProgramImage &image, StepTracker &steps, const WriteOptions &options = {});

}  // namespace qw735
