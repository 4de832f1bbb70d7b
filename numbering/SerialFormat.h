// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Plain C++: the job file reader, fuzzed without Qt, checks formats too.

#include "numbering/SerialError.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qw735 {

// How a board's number is laid out in its image: an unsigned integer of
// 1, 2, 4 or 8 bytes in either byte order, or decimal digits in ASCII,
// zero-padded to a fixed count.
struct SerialFormat {
    enum class Layout { LittleEndian, BigEndian, Ascii };
    Layout layout = Layout::LittleEndian;
    int size = 4;  // bytes in the image (for Ascii, the digits)

    // As it is written: "u8", "u16le", "u32be", "ascii:8".
    std::string Text() const;
    // The largest value it holds.
    std::uint64_t Largest() const;
    bool operator==(const SerialFormat &) const = default;
};

// Reads "u8", "u16le", "u16be", "u32le", "u32be", "u64le", "u64be" or
// "ascii:N" (N digits, 1 to 20: 20 hold any 64-bit value). Error kind
// BadFormat.
[[nodiscard]] std::expected<SerialFormat, SerialError> ParseSerialFormat(std::string_view text);

// The bytes `value` puts in the image. Error kind DoesNotFit, naming the
// value, the format and its range.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, SerialError> EncodeSerial(std::uint64_t value, const SerialFormat &format);

// The value as the image holds it, for records and messages: its decimal
// digits, zero-padded as the format pads them.
std::string SerialText(std::uint64_t value, const SerialFormat &format);

// A value as a source holds it: decimal digits, or 0x and hexadecimal
// digits, with blanks around; nothing when it is not one or passes 64 bits.
std::optional<std::uint64_t> ParseSerialValue(std::string_view text);

// `text` as a message may quote it: every byte that is not printable ASCII
// as \xNN, so that what was typed cannot play tricks on a terminal.
std::string QuotedText(std::string_view text);

}  // namespace qw735
