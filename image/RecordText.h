// SPDX-License-Identifier: GPL-2.0-or-later
// Reading the hexadecimal text of S-records and Intel HEX records: digit
// values and the phrases that say where a record goes wrong. Internal to
// the image readers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <string>
#include <string_view>

namespace qw735 {

// A record that stops a load: what is wrong, and whether it is a checksum
// (the one fault a user may choose to pass over).
struct RecordFault {
    std::string detail;
    bool checksum = false;
};

// Value 0..15 of one hexadecimal digit, or -1. Lower case counts the same
// as upper case in every field: reading lower-case digits with the
// upper-case formula would shift data to wrong addresses without any error.
constexpr int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Digit values by character, 0xFF for anything else: one lookup per
// character, and the invalid value shows in the high bits of an OR of two.
constexpr std::array<std::uint8_t, 256> MakeHexTable()
{
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const int value = HexDigitValue(static_cast<char>(c));
        table[static_cast<std::size_t>(c)] = value < 0 ? 0xFF : static_cast<std::uint8_t>(value);
    }
    return table;
}
inline constexpr std::array<std::uint8_t, 256> HexTable = MakeHexTable();

inline std::uint8_t TableValue(char c)
{
    return HexTable[static_cast<unsigned char>(c)];
}

// "'G' at column 12 is not a hexadecimal digit"; a byte that is no
// printable character is shown by its value.
inline std::string NotHexPhrase(char c, std::size_t column)
{
    const auto byte = static_cast<unsigned char>(c);
    char text[80];
    if (byte >= 0x20 && byte < 0x7F)
        std::snprintf(text, sizeof text, "'%c' at column %zu is not a hexadecimal digit", c, column);
    else
        std::snprintf(text, sizeof text, "byte 0x%02X at column %zu is not a hexadecimal digit", byte, column);
    return text;
}

inline std::string ShortPhrase(std::size_t endColumn, const char *need)
{
    char text[200];
    std::snprintf(text, sizeof text, "record ends at column %zu, %s", endColumn, need);
    return text;
}

// Phrase for the first unusable position among [first, first + count) of
// `record`: past the end or not a digit. Only called once such a position is
// known to exist. Columns in phrases are 1-based and counted on the whole
// line: `offset` is the number of characters before the record.
inline std::unexpected<RecordFault> FirstFaultIn(std::string_view record, std::size_t offset, std::size_t first,
                                                 std::size_t count, const std::string &shortPhrase)
{
    for (std::size_t p = first; p < first + count; ++p) {
        if (p >= record.size())
            return std::unexpected(RecordFault{shortPhrase});
        if (TableValue(record[p]) == 0xFF)
            return std::unexpected(RecordFault{NotHexPhrase(record[p], offset + p + 1)});
    }
    return std::unexpected(RecordFault{shortPhrase});
}

// "checksum 0x5D found, 0x5C expected"
inline std::unexpected<RecordFault> ChecksumFault(unsigned found, unsigned expected)
{
    char text[80];
    std::snprintf(text, sizeof text, "checksum 0x%02X found, 0x%02X expected", found, expected);
    return std::unexpected(RecordFault{text, true});
}

}  // namespace qw735
