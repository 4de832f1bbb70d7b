// SPDX-License-Identifier: GPL-2.0-or-later
// Reading the hexadecimal text of S-records and Intel HEX records: what a
// line is read with, digit values and the phrases that say where a record
// goes wrong. Internal to the image readers.
#pragma once

#include "image/ProgramError.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace qw735 {

class LoadTally;
struct ProgramImage;

// No position of a record (counted from its first character, normally the
// 'S' or ':') at or past this one is ever read: the longest record of any
// type, its checksum included, ends well before it.
inline constexpr std::size_t LongestReadLinePrefix = 1024;

// What a record line is read with: where its data goes, and the line's
// number, for the notes.
struct LineContext {
    ProgramImage &image;
    LoadTally &tally;
    bool verifyChecksum = true;
    long line = 0;  // 1-based
};

// What a line holds past the part of it a reader keeps, from the least to
// the most: nothing but blanks, also end-of-file marks (0x1A, as an empty
// line may hold), also other padding (see IsPadding), or anything else.
enum class LineBeyond { Nothing, EndMarks, Padding, Text };

// Whether a character may pad a file after its last record: blanks, NUL
// and the erased value 0xFF (programmers that pad a file to a block size),
// and the end-of-file mark 0x1A of old systems.
constexpr bool IsPadding(char c)
{
    return c == ' ' || c == '\t' || c == '\0' || c == '\xFF' || c == '\x1A';
}

// The blanks a record may stand after.
constexpr bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Whether a line holds nothing but blanks and end-of-file marks (0x1A),
// also past what a reader kept of it: an empty line is empty however long.
constexpr bool IsEmptyLine(std::string_view line, LineBeyond beyond)
{
    for (char c : line) {
        if (!IsBlank(c) && c != '\x1A')
            return false;
    }
    return beyond <= LineBeyond::EndMarks;
}

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

// The value of the digit at 0-based position `at` of `text` (which must
// hold it), or 0xFF when the character there is none.
inline std::uint8_t HexDigitAt(std::string_view text, std::size_t at)
{
    return HexTable[static_cast<unsigned char>(text[at])];
}

// Whether a character beyond ASCII may be shown as itself: not one that
// shows nothing or changes how the text around it is shown (C1 controls,
// spaces, joiners and direction marks, combining marks, variation
// selectors, private use, specials).
constexpr bool ShowsAsItself(std::uint32_t code)
{
    return !(code < 0xA1 || code == 0xAD || (code >= 0x300 && code <= 0x36F) || (code >= 0x2000 && code <= 0x206F) ||
             code == 0x3000 || (code >= 0xE000 && code <= 0xF8FF) || (code >= 0xFE00 && code <= 0xFE0F) || code == 0xFEFF ||
             code >= 0xFFF0);
}

// How a message names what stands at `at` of `text`: a printable ASCII
// character as itself, 'G'; a character beyond ASCII (UTF-8, as the UTF-16
// reader also hands it on) as itself and its code point, 'é' (U+00E9), or
// by its code point alone where showing it could mislead, U+200B; any
// other byte by its value, byte 0x1A.
inline std::string CharacterName(std::string_view text, std::size_t at)
{
    const auto byte = static_cast<unsigned char>(text[at]);
    char name[40];
    if (byte >= 0x20 && byte < 0x7F) {
        std::snprintf(name, sizeof name, "'%c'", byte);
        return name;
    }
    // The length of a UTF-8 sequence by its lead byte, its payload bits, and
    // the least code point it may carry (a longer form is no character).
    const std::size_t length = byte >= 0xC2 && byte <= 0xDF ? 2 : byte >= 0xE0 && byte <= 0xEF ? 3 : byte >= 0xF0 && byte <= 0xF4 ? 4 : 0;
    std::uint32_t code = length == 2 ? byte & 0x1Fu : length == 3 ? byte & 0x0Fu : byte & 0x07u;
    bool valid = length > 0 && text.size() - at >= length;
    for (std::size_t k = 1; valid && k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        valid = (next & 0xC0) == 0x80;
        code = code << 6 | (next & 0x3Fu);
    }
    const std::uint32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0x80;
    valid = valid && code >= least && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    if (!valid)
        std::snprintf(name, sizeof name, "byte 0x%02X", byte);
    else if (ShowsAsItself(code))
        std::snprintf(name, sizeof name, "'%.*s' (U+%04X)", static_cast<int>(length), text.data() + at, static_cast<unsigned>(code));
    else
        std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(code));
    return name;
}

// "'G' at column 12 is not a hexadecimal digit"
inline std::string NotHexPhrase(std::string_view text, std::size_t at, std::size_t column)
{
    return CharacterName(text, at) + " at column " + std::to_string(column) + " is not a hexadecimal digit";
}

inline std::string ShortPhrase(std::size_t endColumn, const char *need)
{
    char text[200];
    std::snprintf(text, sizeof text, "record ends at column %zu, %s", endColumn, need);
    return text;
}

// A malformed record, for the line reader to place.
inline std::unexpected<ProgramError> BadRecord(std::string detail)
{
    return std::unexpected(ProgramError{ProgramError::Kind::BadRecord, ProgramFormat::SRecord, 0, std::move(detail)});
}

// Phrase for the first unusable position among [first, first + count) of
// `record`: past the end or not a digit. Only called once such a position is
// known to exist. Columns in phrases are 1-based and counted on the whole
// line: `offset` is the number of characters before the record.
inline std::unexpected<ProgramError> FirstFaultIn(std::string_view record, std::size_t offset, std::size_t first,
                                                 std::size_t count, const std::string &shortPhrase)
{
    for (std::size_t p = first; p < first + count; ++p) {
        if (p >= record.size())
            return BadRecord(shortPhrase);
        if (HexDigitAt(record, p) == 0xFF)
            return BadRecord(NotHexPhrase(record, p, offset + p + 1));
    }
    return BadRecord(shortPhrase);
}

// "checksum 0x5D found, 0x5C expected"
inline std::unexpected<ProgramError> ChecksumFault(unsigned found, unsigned expected)
{
    char text[80];
    std::snprintf(text, sizeof text, "checksum 0x%02X found, 0x%02X expected", found, expected);
    return std::unexpected(ProgramError{ProgramError::Kind::BadChecksum, ProgramFormat::SRecord, 0, text});
}

}  // namespace qw735
