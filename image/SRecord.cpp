// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/SRecord.h"

#include "image/LoadTally.h"
#include "image/ProgramImage.h"

#include <array>
#include <cstdio>
#include <optional>
#include <span>

namespace qw735 {

namespace {

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

// A reader keeps LongestReadLinePrefix characters of a line: the longest
// record of every type, its checksum included.
static_assert(LayoutOfRecordType(1)->firstData + 2 * (0xFF - LayoutOfRecordType(1)->overhead) + 2 <= LongestReadLinePrefix);
static_assert(LayoutOfRecordType(2)->firstData + 2 * (0xFF - LayoutOfRecordType(2)->overhead) + 2 <= LongestReadLinePrefix);
static_assert(LayoutOfRecordType(3)->firstData + 2 * (0xFF - LayoutOfRecordType(3)->overhead) + 2 <= LongestReadLinePrefix);

std::string Phrase(const char *format, auto... values)
{
    char text[240];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// A count record (S5, S6) holds in its address field how many data records
// came before it. One that does not match says that records were lost or
// added: the file is written all the same (the count is no part of the
// image) and the user is told. A count record that is not well formed is
// ignored, as every record without data is.
void CheckCountRecord(std::string_view record, int digits, const LineContext &context, const SRecordCount &counted)
{
    const std::size_t end = 4 + static_cast<std::size_t>(digits);
    if (record.size() < end)
        return;
    long said = 0;
    for (std::size_t p = 4; p < end; ++p) {
        const std::uint8_t digit = HexDigitAt(record, p);
        if (digit > 0x0F)
            return;
        said = said << 4 | digit;
    }
    if (said == counted.dataRecords)
        return;
    const std::string since = counted.sinceLine ? Phrase(" since the header record of line %ld", counted.sinceLine) : std::string();
    context.tally.Note(context.line, Phrase("the count record says %ld data records, but %ld come before it%s", said,
                                            counted.dataRecords, since.c_str()));
}

// Counts the record for the count records, and checks a count record.
void Count(std::string_view record, int typeDigit, bool carriesData, const LineContext &context, SRecordCount &counted)
{
    if (typeDigit == 0 && counted.dataRecords > 0) {
        // A header starts another file's records (files joined end to end).
        counted = {0, context.line};
    } else if (carriesData) {
        ++counted.dataRecords;
    } else if (typeDigit == 5 || typeDigit == 6) {
        CheckCountRecord(record, typeDigit == 5 ? 4 : 6, context, counted);
    }
}

// A record, from its position 0, standing after `offset` characters of its
// line.
std::expected<void, ProgramError> ParseRecord(std::string_view record, std::size_t offset, const LineContext &context, SRecordCount &counted)
{
    // The type digit; a short line, like any other character there, has none.
    const int typeDigit = record.size() > 1 ? HexDigitAt(record, 1) : -1;
    const auto layout = LayoutOfRecordType(typeDigit);
    if (typeDigit >= 0 && typeDigit <= 9)
        ++context.tally.records;
    Count(record, typeDigit, layout.has_value(), context, counted);
    if (!layout)
        return {};
    const std::size_t length = record.size();
    char need[80];

    // Byte count, positions 2-3.
    if (length < 4 || ((HexDigitAt(record, 2) | HexDigitAt(record, 3)) & 0xF0)) {
        std::snprintf(need, sizeof need, "the byte count needs columns %zu-%zu", offset + 3, offset + 4);
        return FirstFaultIn(record, offset, 2, 2, ShortPhrase(offset + length, need));
    }
    const int count = HexDigitAt(record, 2) << 4 | HexDigitAt(record, 3);

    // Address from position 4, most significant digit first.
    const std::size_t addressEnd = 4 + static_cast<std::size_t>(layout->addressDigits);
    std::int64_t address = 0;
    std::uint8_t bad = 0;
    if (length >= addressEnd) {
        for (std::size_t p = 4; p < addressEnd; ++p) {
            const std::uint8_t digit = HexDigitAt(record, p);
            bad |= digit;
            address = address << 4 | (digit & 0x0F);
        }
    }
    if (length < addressEnd || (bad & 0xF0)) {
        std::snprintf(need, sizeof need, "its %d-digit address needs columns %zu-%zu", layout->addressDigits, offset + 5,
                      offset + addressEnd);
        return FirstFaultIn(record, offset, 4, addressEnd - 4, ShortPhrase(offset + length, need));
    }

    // A record without data stores nothing, and its checksum guards nothing.
    const int dataBytes = count - layout->overhead;
    if (dataBytes <= 0)
        return {};
    const std::size_t n = static_cast<std::size_t>(dataBytes);
    const std::size_t start = layout->firstData;
    // The checksum follows the data; it is read only when it is verified.
    const std::size_t recordEnd = start + 2 * n + (context.verifyChecksum ? 2 : 0);
    auto shortRecord = [&] {
        std::snprintf(need, sizeof need, "its byte count 0x%02X needs %zu characters", count, offset + recordEnd);
        return ShortPhrase(offset + length, need);
    };
    if (length < recordEnd)
        return FirstFaultIn(record, offset, start, recordEnd - start, shortRecord());

    // Every byte is read, also those that will be dropped, so that whether a
    // file is accepted never depends on where its data lands.
    std::array<std::uint8_t, 0xFF + 1> bytes;
    bad = 0;
    for (std::size_t k = 0; k < (recordEnd - start) / 2; ++k) {
        const std::uint8_t high = HexDigitAt(record, start + 2 * k);
        const std::uint8_t low = HexDigitAt(record, start + 2 * k + 1);
        bad |= high | low;
        bytes[k] = static_cast<std::uint8_t>(high << 4 | (low & 0x0F));
    }
    if (bad & 0xF0)
        return FirstFaultIn(record, offset, start, recordEnd - start, shortRecord());

    if (context.verifyChecksum) {
        // The ones' complement of the sum of the count, address and data bytes.
        std::uint8_t sum = static_cast<std::uint8_t>(count);
        for (int shift = 0; shift < layout->addressDigits * 4; shift += 8)
            sum = static_cast<std::uint8_t>(sum + ((address >> shift) & 0xFF));
        for (std::size_t k = 0; k < n; ++k)
            sum = static_cast<std::uint8_t>(sum + bytes[k]);
        const auto expected = static_cast<std::uint8_t>(~sum);
        if (bytes[n] != expected)
            return ChecksumFault(bytes[n], expected);
    }

    ++context.tally.dataRecords;
    context.tally.Store(context.image, static_cast<std::uint64_t>(address), std::span(bytes.data(), n));
    return {};
}

}  // namespace

std::expected<void, ProgramError> ParseSRecordLine(std::string_view line, std::size_t droppedBlanks, const LineContext &context,
                                                   SRecordCount &counted)
{
    std::size_t blanks = 0;
    while (blanks < line.size() && IsBlank(line[blanks]))
        ++blanks;
    if (droppedBlanks + blanks > 0 && blanks < line.size() && IsSRecordMark(line[blanks]))
        return ParseRecord(line.substr(blanks), droppedBlanks + blanks, context, counted);
    // Read as it stands. With blanks dropped, there were two or more, so
    // position 1 is a blank: no record type, the line is ignored.
    if (droppedBlanks > 0)
        return {};
    return ParseRecord(line, 0, context, counted);
}

}  // namespace qw735
