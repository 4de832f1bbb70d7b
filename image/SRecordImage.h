// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/InputFile.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qw735 {

// The program image sent to the board. Only the data area at its start ever
// receives bytes from an S-record file; the rest keeps the erased value 0xFF.
inline constexpr std::size_t ImageSize = 0x40000;
inline constexpr std::int64_t DataAreaSize = 0x20000;

struct SRecordImage {
    std::vector<std::uint8_t> ImageBuffer = std::vector<std::uint8_t>(ImageSize, 0xFF);
    // Highest address that received a data byte in the last load; 0 when none
    // did (so "nothing" and "only address 0" look alike, on purpose).
    std::int32_t MaxAddress = 0;

    // Every byte back to 0xFF, MaxAddress 0.
    void Clear();
};

// Results of HexDigitValue / HexDigitAt that are not a digit value.
inline constexpr int NotAHexDigit = -1;
inline constexpr int PastEndOfLine = -2;

// Value 0..15 of one hexadecimal digit, or NotAHexDigit. Lower case counts
// the same as upper case in every field: reading lower-case digits with the
// upper-case formula would shift data to wrong addresses without any error.
constexpr int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return NotAHexDigit;
}

// HexDigitValue of the character at 0-based `position`; PastEndOfLine when
// the line is shorter than that.
constexpr int HexDigitAt(std::string_view line, std::size_t position)
{
    return position < line.size() ? HexDigitValue(line[position]) : PastEndOfLine;
}

// Layout of the data records: address digits and where the data starts.
struct SRecordLayout {
    int addressDigits;     // address characters, most significant first, from position 4
    std::size_t firstData; // 0-based position of the first data character
    int overhead;          // bytes of the byte count that are not data (address + checksum)
};
// The layout of record type `type`, or nullopt when lines of that type carry
// no data for the image (and are therefore ignored).
constexpr std::optional<SRecordLayout> LayoutOfRecordType(int type)
{
    switch (type) {
    case 1: return SRecordLayout{4, 8, 3};
    case 2: return SRecordLayout{6, 10, 4};
    case 3: return SRecordLayout{8, 12, 5};
    default: return std::nullopt;
    }
}

// No position of a record (counted from its first character, normally the
// 'S') at or past this one is ever read: the data of a record with byte
// count 0xFF ends just before it, whatever the type.
inline constexpr std::size_t LongestReadLinePrefix = 512;
static_assert(LayoutOfRecordType(1)->firstData + 2 * (0xFF - LayoutOfRecordType(1)->overhead) <= LongestReadLinePrefix);
static_assert(LayoutOfRecordType(2)->firstData + 2 * (0xFF - LayoutOfRecordType(2)->overhead) <= LongestReadLinePrefix);
static_assert(LayoutOfRecordType(3)->firstData + 2 * (0xFF - LayoutOfRecordType(3)->overhead) <= LongestReadLinePrefix);

// Applies one line (without its terminator) to the image. Position 0 is never
// looked at; position 1 is the type, and any type other than 1, 2 or 3 makes
// the line ignored. Empty and blank lines, and a line of 0x1A end-of-file
// marks, are ignored by that same rule. Data below DataAreaSize is stored and
// raises MaxAddress; the rest of the record is dropped. The checksum is
// neither read nor verified, and nothing after the last data character is
// read.
//
// A record may stand after blanks (spaces and tabs): when the first character
// after them is 'S' or 's', the record is read from there. Any other line is
// read as it stands, so a line that starts with two blanks and no record is
// ignored as before, and one blank in position 0 changes nothing.
//
// Returns nullopt when the line is fine or ignored, otherwise a short phrase
// naming the problem, with 1-based columns of the whole line. A record is
// judged on all the positions its byte count asks for, even those whose data
// is dropped, so whether a file is accepted never depends on where its data
// lands. On a fault the image may already hold part of the record.
std::optional<std::string> ParseSRecordLine(std::string_view line, SRecordImage &image);

struct SRecordError {
    enum class Kind { CannotOpen, CannotRead, BadRecord };
    Kind kind;
    std::string path;    // the file as given
    long line = 0;       // 1-based, BadRecord only
    std::string detail;  // what is wrong; the OS reason for CannotOpen/CannotRead
};

// One line for the user, naming the file (and the line for BadRecord):
//   "S-record file /x/a.mot, line 12: 'G' at column 12 is not a hexadecimal digit"
//   "Cannot open S-record file /x/a.mot: No such file or directory"
//   "Cannot read S-record file /x/a.mot: Is a directory"
std::string DescribeSRecordError(const SRecordError &error);

// The record that stopped a load.
struct SRecordFault {
    long line = 0;       // 1-based
    std::string detail;  // as returned by ParseSRecordLine
};

// Incremental loader: takes the file's bytes in chunks of any size and gives
// the same result however the bytes are split. A UTF-8 byte-order mark at the
// very start of the input is skipped (editors on some systems write one).
// Lines end at CR LF, a lone CR or a lone LF (a CR at the end of one chunk
// and an LF at the start of the next are one terminator); a last line without
// terminator counts once Finish() is called. Each line is read as
// ParseSRecordLine reads it. Memory use does not depend on the input: of each
// line only the blanks' count and the first LongestReadLinePrefix characters
// after them are kept.
class SRecordLoader {
public:
    // Clears the image; the loader writes into it and must not outlive it.
    explicit SRecordLoader(SRecordImage &image);

    // Takes the next bytes. False once a bad record was met: stop feeding,
    // Fault() tells which line and why.
    bool Feed(const char *data, std::size_t size);
    // Handles the last line when the input did not end with a terminator.
    // False when a bad record was met (here or before). Feed no more after.
    bool Finish();

    const std::optional<SRecordFault> &Fault() const { return fault_; }
    // Lines completed so far (all of them, after Finish()).
    long LineCount() const { return lineCount_; }

private:
    bool TakeLine(std::string_view line, std::size_t droppedBlanks);
    bool TakePendingLine();
    void Keep(const char *data, std::size_t size);
    void SkipByteOrderMark(const char *&data, const char *end);

    SRecordImage &image_;
    // The unfinished line: its first blank, if any, and what follows the
    // blanks, which is as much as a record needs.
    std::array<char, 1 + LongestReadLinePrefix> pending_{};
    std::size_t pendingLength_ = 0;     // true length of the unfinished line, dropped blanks aside
    std::size_t droppedBlanks_ = 0;     // blanks after its first one, counted only
    std::size_t markBytes_ = 0;         // bytes of a byte-order mark seen at the start
    bool pastStart_ = false;            // the start of the input, and any mark, are behind
    long lineCount_ = 0;
    bool afterCarriageReturn_ = false;  // an LF now only completes a CR LF
    std::optional<SRecordFault> fault_;
};

// Rebuilds the image from the file at `path`; nullopt on success. The file is
// streamed, never read whole, and must be of one of `kinds` (a directory, a
// device or a socket is never an S-record file). After an error the image
// holds what the load had stored so far, possibly part of the bad record: do
// not use it. `seen`, when given, gets every byte read, in order: a digest
// of exactly what was loaded, also from a pipe that cannot be read twice.
std::optional<SRecordError> LoadSRecordFile(const std::string &path, SRecordImage &image,
                                            InputKinds kinds = InputKinds::Files,
                                            const std::function<void(std::string_view)> &seen = {});

// The error LoadSRecordFile would end with because of the kind of file at
// `path`, told without opening it; nullopt when the load would go ahead.
std::optional<SRecordError> RefusedSRecordFile(const std::string &path, InputKinds kinds);

}  // namespace qw735
