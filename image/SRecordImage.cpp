// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/SRecordImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qw735 {

namespace {

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

// The loader keeps this much of a line: the longest record of every type.
static_assert(LayoutOfRecordType(1)->firstData + 2 * (0xFF - LayoutOfRecordType(1)->overhead) <= LongestReadLinePrefix);
static_assert(LayoutOfRecordType(2)->firstData + 2 * (0xFF - LayoutOfRecordType(2)->overhead) <= LongestReadLinePrefix);
static_assert(LayoutOfRecordType(3)->firstData + 2 * (0xFF - LayoutOfRecordType(3)->overhead) <= LongestReadLinePrefix);

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
constexpr std::array<std::uint8_t, 256> HexTable = MakeHexTable();

constexpr std::size_t ReadChunkSize = 64 * 1024;

std::uint8_t TableValue(char c)
{
    return HexTable[static_cast<unsigned char>(c)];
}

// Columns in phrases are 1-based and counted on the whole line: `offset` is
// the number of characters before the record (the blanks it stands after).
std::string NotHexPhrase(char c, std::size_t column)
{
    const auto byte = static_cast<unsigned char>(c);
    char text[80];
    if (byte >= 0x20 && byte < 0x7F)
        std::snprintf(text, sizeof text, "'%c' at column %zu is not a hexadecimal digit", c, column);
    else
        std::snprintf(text, sizeof text, "byte 0x%02X at column %zu is not a hexadecimal digit", byte, column);
    return text;
}

// Phrase for the first unusable position among [first, first + count) of
// `record`: past the end or not a digit. Only called once such a position is
// known to exist.
std::unexpected<std::string> FirstFaultIn(std::string_view record, std::size_t offset, std::size_t first, std::size_t count,
                         const std::string &shortPhrase)
{
    for (std::size_t p = first; p < first + count; ++p) {
        if (p >= record.size())
            return std::unexpected(shortPhrase);
        if (TableValue(record[p]) == 0xFF)
            return std::unexpected(NotHexPhrase(record[p], offset + p + 1));
    }
    return std::unexpected(shortPhrase);
}

std::string ShortPhrase(std::size_t endColumn, const char *need)
{
    char text[200];
    std::snprintf(text, sizeof text, "record ends at column %zu, %s", endColumn, need);
    return text;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsRecordMark(char c)
{
    return c == 'S' || c == 's';
}

// A record, from its position 0, standing after `offset` characters of its
// line.
std::expected<void, std::string> ParseRecord(std::string_view record, std::size_t offset, SRecordImage &image)
{
    // The type digit; a short line, like any other character there, has none.
    const auto layout = LayoutOfRecordType(record.size() > 1 ? TableValue(record[1]) : -1);
    if (!layout)
        return {};
    const char *text = record.data();
    const std::size_t length = record.size();
    char need[80];

    // Byte count, positions 2-3.
    if (length < 4 || ((TableValue(text[2]) | TableValue(text[3])) & 0xF0)) {
        std::snprintf(need, sizeof need, "the byte count needs columns %zu-%zu", offset + 3, offset + 4);
        return FirstFaultIn(record, offset, 2, 2, ShortPhrase(offset + length, need));
    }
    const int count = TableValue(text[2]) << 4 | TableValue(text[3]);

    // Address from position 4, most significant digit first.
    const std::size_t addressEnd = 4 + static_cast<std::size_t>(layout->addressDigits);
    std::int64_t address = 0;
    std::uint8_t bad = 0;
    if (length >= addressEnd) {
        for (std::size_t p = 4; p < addressEnd; ++p) {
            const std::uint8_t digit = TableValue(text[p]);
            bad |= digit;
            address = address << 4 | (digit & 0x0F);
        }
    }
    if (length < addressEnd || (bad & 0xF0)) {
        std::snprintf(need, sizeof need, "its %d-digit address needs columns %zu-%zu", layout->addressDigits, offset + 5,
                      offset + addressEnd);
        return FirstFaultIn(record, offset, 4, addressEnd - 4, ShortPhrase(offset + length, need));
    }

    const int dataBytes = count - layout->overhead;
    if (dataBytes <= 0)
        return {};
    // The buffer is a public member; whatever a caller did to it, the stores
    // below stay inside it.
    if (image.ImageBuffer.size() != ImageSize)
        image.ImageBuffer.resize(ImageSize, 0xFF);
    const std::size_t n = static_cast<std::size_t>(dataBytes);
    const std::size_t start = layout->firstData;
    const std::size_t dataEnd = start + 2 * n;
    auto shortData = [&] {
        std::snprintf(need, sizeof need, "its byte count 0x%02X needs %zu characters", count, offset + dataEnd);
        return ShortPhrase(offset + length, need);
    };
    if (length < dataEnd)
        return FirstFaultIn(record, offset, start, dataEnd - start, shortData());

    // Bytes below the end of the data area are stored; the rest of the record
    // is still checked but dropped.
    const std::size_t stored = address < DataAreaSize
                                   ? static_cast<std::size_t>(std::min<std::int64_t>(DataAreaSize - address,
                                                                                     static_cast<std::int64_t>(n)))
                                   : 0;
    const char *digits = text + start;
    std::uint8_t *target = image.ImageBuffer.data() + (stored ? address : 0);
    bad = 0;
    for (std::size_t k = 0; k < stored; ++k) {
        const std::uint8_t high = TableValue(digits[2 * k]);
        const std::uint8_t low = TableValue(digits[2 * k + 1]);
        bad |= high | low;
        target[k] = static_cast<std::uint8_t>(high << 4 | (low & 0x0F));
    }
    for (std::size_t k = stored; k < n; ++k)
        bad |= TableValue(digits[2 * k]) | TableValue(digits[2 * k + 1]);
    if (bad & 0xF0)
        return FirstFaultIn(record, offset, start, dataEnd - start, shortData());

    if (stored) {
        const auto last = static_cast<std::int32_t>(address + static_cast<std::int64_t>(stored) - 1);
        image.MaxAddress = std::max(image.MaxAddress, last);
    }
    return {};
}

// `line` as it came, but for `droppedBlanks` more blanks before it, which
// the incremental loader counts instead of keeping (it keeps the first).
std::expected<void, std::string> ParseLine(std::string_view line, std::size_t droppedBlanks, SRecordImage &image)
{
    std::size_t blanks = 0;
    while (blanks < line.size() && IsBlank(line[blanks]))
        ++blanks;
    if (droppedBlanks + blanks > 0 && blanks < line.size() && IsRecordMark(line[blanks]))
        return ParseRecord(line.substr(blanks), droppedBlanks + blanks, image);
    // Read as it stands. With blanks dropped, there were two or more, so
    // position 1 is a blank: no record type, the line is ignored.
    if (droppedBlanks > 0)
        return {};
    return ParseRecord(line, 0, image);
}

}  // namespace

void SRecordImage::Clear()
{
    ImageBuffer.assign(ImageSize, 0xFF);
    MaxAddress = 0;
}

std::expected<void, std::string> ParseSRecordLine(std::string_view line, SRecordImage &image)
{
    return ParseLine(line, 0, image);
}

std::string DescribeSRecordError(const SRecordError &error)
{
    switch (error.kind) {
    case SRecordError::Kind::CannotOpen:
        return "Cannot open S-record file " + error.path + ": " + error.detail;
    case SRecordError::Kind::CannotRead:
        return "Cannot read S-record file " + error.path + ": " + error.detail;
    case SRecordError::Kind::BadRecord:
        break;
    }
    return "S-record file " + error.path + ", line " + std::to_string(error.line) + ": " + error.detail;
}

SRecordLoader::SRecordLoader(SRecordImage &image)
    : image_(image)
{
    image_.Clear();
}

void SRecordLoader::Keep(const char *data, std::size_t size)
{
    if (size == 0)
        return;
    if (pendingLength_ == 0) {
        pending_[0] = *data++;
        --size;
        pendingLength_ = 1;
    }
    // Any number of blanks may stand before a record: the first is kept,
    // the others counted, so that what is kept still holds all the record.
    if (pendingLength_ == 1 && IsBlank(pending_[0])) {
        while (size > 0 && IsBlank(*data)) {
            ++droppedBlanks_;
            ++data;
            --size;
        }
    }
    if (pendingLength_ < pending_.size()) {
        const std::size_t room = pending_.size() - pendingLength_;
        std::memcpy(pending_.data() + pendingLength_, data, std::min(room, size));
    }
    pendingLength_ += size;
}

std::expected<void, SRecordFault> SRecordLoader::TakeLine(std::string_view line, std::size_t droppedBlanks)
{
    ++lineCount_;
    if (auto parsed = ParseLine(line, droppedBlanks, image_); !parsed) {
        fault_ = SRecordFault{lineCount_, std::move(parsed.error())};
        return std::unexpected(*fault_);
    }
    return {};
}

void SRecordLoader::SkipByteOrderMark(const char *&data, const char *end)
{
    static constexpr char Mark[] = "\xEF\xBB\xBF";
    for (; data < end && markBytes_ < 3; ++data, ++markBytes_) {
        if (*data != Mark[markBytes_]) {
            // No mark after all: what looked like its start is line text.
            pastStart_ = true;
            Keep(Mark, markBytes_);
            return;
        }
    }
    pastStart_ = markBytes_ == 3;
}

std::expected<void, SRecordFault> SRecordLoader::Feed(const char *data, std::size_t size)
{
    if (fault_)
        return std::unexpected(*fault_);
    if (size == 0)
        return {};
    const char *p = data;
    const char *const end = data + size;
    if (!pastStart_) {
        SkipByteOrderMark(p, end);
        if (p == end)
            return {};
    }
    if (afterCarriageReturn_ && *p == '\n')
        ++p;
    afterCarriageReturn_ = false;

    // Next CR and next LF, each searched for again only once passed, so the
    // chunk is scanned linearly whatever the mix of terminators.
    auto find = [end](const char *from, char c) {
        const void *hit = std::memchr(from, c, static_cast<std::size_t>(end - from));
        return hit ? static_cast<const char *>(hit) : end;
    };
    const char *nextCr = find(p, '\r');
    const char *nextLf = find(p, '\n');
    while (p < end) {
        const char *terminator = std::min(nextCr, nextLf);
        if (terminator == end) {
            Keep(p, static_cast<std::size_t>(end - p));
            return {};
        }
        std::expected<void, SRecordFault> taken;
        if (pendingLength_ == 0) {
            taken = TakeLine(std::string_view(p, static_cast<std::size_t>(terminator - p)), 0);
        } else {
            Keep(p, static_cast<std::size_t>(terminator - p));
            taken = TakePendingLine();
        }
        if (!taken)
            return taken;
        p = terminator + 1;
        if (*terminator == '\r') {
            if (p == end) {
                afterCarriageReturn_ = true;
                return {};
            }
            if (*p == '\n')
                ++p;
        }
        if (nextCr < p)
            nextCr = find(p, '\r');
        if (nextLf < p)
            nextLf = find(p, '\n');
    }
    return {};
}

std::expected<void, SRecordFault> SRecordLoader::TakePendingLine()
{
    const std::size_t kept = std::min(pendingLength_, pending_.size());
    const std::size_t dropped = droppedBlanks_;
    pendingLength_ = 0;
    droppedBlanks_ = 0;
    return TakeLine(std::string_view(pending_.data(), kept), dropped);
}

std::expected<void, SRecordFault> SRecordLoader::Finish()
{
    if (fault_)
        return std::unexpected(*fault_);
    if (!pastStart_) {
        // The input ended inside what could have been a mark: line text.
        pastStart_ = true;
        Keep("\xEF\xBB\xBF", markBytes_);
    }
    afterCarriageReturn_ = false;
    if (pendingLength_ == 0)
        return {};
    return TakePendingLine();
}

namespace {

std::unexpected<SRecordError> FileError(const std::string &path, const InputFileError &error)
{
    const auto kind = error.kind == InputFileError::Kind::CannotOpen ? SRecordError::Kind::CannotOpen : SRecordError::Kind::CannotRead;
    return std::unexpected(SRecordError{kind, path, 0, error.detail});
}

}  // namespace

std::expected<void, SRecordError> CheckSRecordFileKind(const std::string &path, InputKinds kinds)
{
    if (const auto checked = CheckInputKind(path, kinds); !checked)
        return FileError(path, checked.error());
    return {};
}

std::expected<void, SRecordError> LoadSRecordFile(const std::string &path, SRecordImage &image, InputKinds kinds,
                                                  const std::function<void(std::string_view)> &seen)
{
    SRecordLoader loader(image);
    auto file = InputFile::Open(path, kinds);
    if (!file)
        return FileError(path, file.error());

    const auto buffer = std::make_unique<char[]>(ReadChunkSize);
    for (;;) {
        const auto got = file->Read(buffer.get(), ReadChunkSize);
        if (!got)
            return FileError(path, got.error());
        if (seen && *got > 0)
            seen(std::string_view(buffer.get(), *got));
        const auto taken = *got == 0 ? loader.Finish() : loader.Feed(buffer.get(), *got);
        if (!taken)
            return std::unexpected(SRecordError{SRecordError::Kind::BadRecord, path, taken.error().line, taken.error().detail});
        if (*got == 0)
            return {};
    }
}

}  // namespace qw735
