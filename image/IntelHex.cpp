// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/IntelHex.h"

#include "image/LoadTally.h"
#include "image/ProgramImage.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace qw735 {

namespace {

enum RecordType { Data = 0, EndOfFile = 1, ExtendedSegment = 2, StartSegment = 3, ExtendedLinear = 4, StartLinear = 5 };

// The byte count each type other than data must have.
constexpr int CountOfType(int type)
{
    switch (type) {
    case EndOfFile: return 0;
    case ExtendedSegment:
    case ExtendedLinear: return 2;
    default: return 4;  // the two start addresses
    }
}

std::string Phrase(const char *format, auto... values)
{
    char text[200];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// A reader keeps LongestReadLinePrefix characters of a line: the longest
// record, with room after it to see what follows its end.
static_assert(11 + 2 * 0xFF < LongestReadLinePrefix);

// A record, from its ':', standing after `offset` characters of its line.
std::expected<void, ProgramError> ParseRecord(std::string_view record, std::size_t offset, LineBeyond beyond, IntelHexState &state,
                                              const LineContext &context)
{
    const std::size_t length = record.size();
    if (length < 3 || ((HexDigitAt(record, 1) | HexDigitAt(record, 2)) & 0xF0))
        return FirstFaultIn(record, offset, 1, 2, ShortPhrase(offset + length, Phrase("the byte count needs columns %zu-%zu", offset + 2, offset + 3).c_str()));
    const std::size_t count = static_cast<std::size_t>(HexDigitAt(record, 1) << 4 | HexDigitAt(record, 2));
    // ':' count(2) address(4) type(2) data(2 x count) checksum(2)
    const std::size_t end = 11 + 2 * count;
    const auto shortPhrase = [&] {
        return ShortPhrase(offset + length, Phrase("its byte count 0x%02zX needs %zu characters", count, offset + end).c_str());
    };
    if (length < end)
        return FirstFaultIn(record, offset, 1, end - 1, shortPhrase());
    std::array<std::uint8_t, 4 + 255 + 1> bytes{};
    std::uint8_t bad = 0;
    for (std::size_t k = 0; k < (end - 1) / 2; ++k) {
        const std::uint8_t high = HexDigitAt(record, 1 + 2 * k);
        const std::uint8_t low = HexDigitAt(record, 2 + 2 * k);
        bad |= high | low;
        bytes[k] = static_cast<std::uint8_t>(high << 4 | (low & 0x0F));
    }
    if (bad & 0xF0)
        return FirstFaultIn(record, offset, 1, end - 1, shortPhrase());
    const int type = bytes[3];
    if (type == EndOfFile) {
        // The file ends here: what follows on the line is no part of it.
        for (std::size_t p = end; p < length; ++p)
            state.textAfterEnd |= !IsPadding(record[p]);
        state.textAfterEnd |= beyond == LineBeyond::Text;
    } else {
        for (std::size_t p = end; p < length; ++p) {
            if (!IsBlank(record[p]))
                return BadRecord(CharacterName(record, p) +
                                 Phrase(" at column %zu is past the record's end: its byte count 0x%02zX ends it at column %zu", offset + p + 1,
                                        count, offset + end));
        }
        if (beyond != LineBeyond::Nothing)
            return BadRecord(Phrase("the line goes on past the record's end: its byte count 0x%02zX ends it at column %zu", count, offset + end));
    }

    const std::size_t total = 4 + count;  // bytes before the checksum
    std::uint8_t sum = 0;
    for (std::size_t k = 0; k < total; ++k)
        sum = static_cast<std::uint8_t>(sum + bytes[k]);
    const std::uint8_t expected = static_cast<std::uint8_t>(-sum);
    if (context.verifyChecksum && bytes[total] != expected)
        return ChecksumFault(bytes[total], expected);

    if (type > StartLinear)
        return BadRecord(Phrase("unknown record type 0x%02X at columns %zu-%zu (known: 00 to 05)", type, offset + 8, offset + 9));
    if (type != Data && static_cast<int>(count) != CountOfType(type))
        return BadRecord(Phrase("a type 0x%02X record has byte count 0x%02X, but this one has 0x%02zX", type, CountOfType(type), count));

    const unsigned field = static_cast<unsigned>(bytes[1] << 8 | bytes[2]);
    const unsigned value = static_cast<unsigned>(bytes[4] << 8 | bytes[5]);
    switch (type) {
    case Data: {
        if (count == 0)
            return {};
        ++context.tally.dataRecords;
        const std::span<const std::uint8_t> data(bytes.data() + 4, count);
        // Where the bytes wrap: in a segment, the offset at 64 KiB to the
        // segment's start, as 8086 addressing does; a linear address at
        // 4 GiB to 0, as 32-bit addresses do.
        const std::uint64_t address = state.base + field;
        const std::uint64_t room = state.segmented ? 0x10000 - field : 0x100000000 - address;
        const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(count, room));
        context.tally.Store(context.image, address, data.first(first));
        if (first < count)
            context.tally.Store(context.image, state.segmented ? state.base : 0, data.subspan(first));
        return {};
    }
    case EndOfFile: state.endLine = context.line; return {};
    case ExtendedSegment:
        state.base = std::uint64_t{value} << 4;
        state.segmented = true;
        return {};
    case ExtendedLinear:
        state.base = std::uint64_t{value} << 16;
        state.segmented = false;
        return {};
    default: return {};  // start addresses: nothing for the image
    }
}

}  // namespace

std::expected<void, ProgramError> ParseIntelHexLine(std::string_view line, std::size_t droppedBlanks, LineBeyond beyond,
                                                    IntelHexState &state, const LineContext &context)
{
    if (IsEmptyLine(line, beyond))
        return {};
    std::size_t blanks = 0;
    while (blanks < line.size() && IsBlank(line[blanks]))
        ++blanks;
    const std::size_t offset = droppedBlanks + blanks;
    if (blanks == line.size() || line[blanks] != ':') {
        const std::string found = blanks < line.size() ? CharacterName(line, blanks) : "' '";
        return BadRecord(found + Phrase(" at column %zu, where a record starts with ':'", offset + 1));
    }
    ++context.tally.records;
    return ParseRecord(line.substr(blanks), offset, beyond, state, context);
}

}  // namespace qw735
