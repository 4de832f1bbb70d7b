// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Plain C++: the job file reader, fuzzed without Qt, checks fields too.

#include "image/LoadTally.h"
#include "numbering/SerialError.h"
#include "numbering/SerialFormat.h"

#include <cstdint>
#include <expected>
#include <span>

namespace qw735 {

// Where each board's own number goes in its image, and how it is laid out.
struct SerialField {
    std::uint64_t address = 0;
    SerialFormat format;
    // It may lie over data the program file gave: only for a program that
    // leaves a placeholder there (a number written over code breaks the board).
    bool overData = false;
    bool operator==(const SerialField &) const = default;
};

// Whether the field can take a number in an image whose program file gave
// data at `loaded` (as a load's summary lists them; empty when no file is
// known yet): inside the 128 KiB data area (kind OutsideDataArea), and
// clear of the program file's data unless overData (kind OverData).
// Checked once for a run, before any board starts.
[[nodiscard]] std::expected<void, SerialError> CheckSerialField(const SerialField &field, std::span<const AddressRange> loaded);

}  // namespace qw735
