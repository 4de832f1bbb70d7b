// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/LoadTally.h"

#include <cstdint>
#include <optional>
#include <span>

namespace qw735 {

struct ProgramImage;

// Bytes of a board's own (its serial number) put into its copy of the
// program image, at a place the program file gave no data for, so that a
// number never lands on code.

// The addresses `size` bytes from `address` on take; nothing for no bytes
// or a place past 64 bits.
std::optional<AddressRange> FieldRange(std::uint64_t address, std::uint64_t size);

// Whether `field` lies wholly inside the data area, the only part of the
// image a program file fills.
bool InsideDataArea(AddressRange field);

// The first of the program file's loaded ranges (ascending, as a load's
// summary lists them) that `field` shares an address with.
std::optional<AddressRange> LoadedOverlap(std::span<const AddressRange> loaded, AddressRange field);

// Puts `bytes` into `image` at `address` and raises MaxAddress to their last
// address when it was below, so that the transfer covers them. Refused
// (false, the image unchanged) unless they lie inside the data area.
[[nodiscard]] bool PatchImage(ProgramImage &image, std::uint64_t address, std::span<const std::uint8_t> bytes);

}  // namespace qw735
