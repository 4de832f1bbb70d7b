// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/SRecordImage.h"

#include "image/IntelHex.h"
#include "image/LoadTally.h"
#include "image/RecordText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

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

// The loader keeps this much of a line: the longest record of every type,
// its checksum included, and the longest Intel HEX record with room after
// it to see what follows its end.
static_assert(LayoutOfRecordType(1)->firstData + 2 * (0xFF - LayoutOfRecordType(1)->overhead) + 2 <= LongestReadLinePrefix);
static_assert(LayoutOfRecordType(2)->firstData + 2 * (0xFF - LayoutOfRecordType(2)->overhead) + 2 <= LongestReadLinePrefix);
static_assert(LayoutOfRecordType(3)->firstData + 2 * (0xFF - LayoutOfRecordType(3)->overhead) + 2 <= LongestReadLinePrefix);
static_assert(11 + 2 * 0xFF < LongestReadLinePrefix);

constexpr std::size_t ReadChunkSize = 64 * 1024;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsRecordMark(char c)
{
    return c == 'S' || c == 's';
}

// What a line is read with.
struct LineContext {
    SRecordImage &image;
    LoadTally *tally = nullptr;
    bool verifyChecksum = true;
    long line = 0;                    // 1-based, for notes
    SRecordCount *counted = nullptr;  // for the count records
};

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
// ignored, as every record without data always was.
void CheckCountRecord(std::string_view record, int digits, const LineContext &context)
{
    const std::size_t end = 4 + static_cast<std::size_t>(digits);
    if (!context.tally || record.size() < end)
        return;
    long said = 0;
    for (std::size_t p = 4; p < end; ++p) {
        const std::uint8_t digit = TableValue(record[p]);
        if (digit > 0x0F)
            return;
        said = said << 4 | digit;
    }
    const SRecordCount &counted = *context.counted;
    if (said == counted.dataRecords)
        return;
    const std::string since = counted.sinceLine ? Phrase(" since the header record of line %ld", counted.sinceLine) : std::string();
    context.tally->Note(context.line, Phrase("the count record says %ld data records, but %ld come before it%s", said,
                                             counted.dataRecords, since.c_str()));
}

// A record, from its position 0, standing after `offset` characters of its
// line.
std::expected<void, RecordFault> ParseRecord(std::string_view record, std::size_t offset, const LineContext &context)
{
    // The type digit; a short line, like any other character there, has none.
    const int typeDigit = record.size() > 1 ? TableValue(record[1]) : -1;
    const auto layout = LayoutOfRecordType(typeDigit);
    if (context.tally && typeDigit >= 0 && typeDigit <= 9)
        ++context.tally->records;
    if (context.counted) {
        SRecordCount &counted = *context.counted;
        if (typeDigit == 0 && counted.dataRecords > 0) {
            // A header starts another file's records (files joined end to end).
            counted = {0, context.line};
        } else if (layout) {
            ++counted.dataRecords;
        } else if (typeDigit == 5 || typeDigit == 6) {
            CheckCountRecord(record, typeDigit == 5 ? 4 : 6, context);
        }
    }
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
    const char *digits = text + start;
    bad = 0;
    for (std::size_t k = 0; k < (recordEnd - start) / 2; ++k) {
        const std::uint8_t high = TableValue(digits[2 * k]);
        const std::uint8_t low = TableValue(digits[2 * k + 1]);
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

    if (context.tally)
        ++context.tally->dataRecords;
    StoreBytes(context.image, context.tally, static_cast<std::uint64_t>(address), std::span(bytes.data(), n));
    return {};
}

// `line` as it came, but for `droppedBlanks` more blanks before it, which
// the incremental loader counts instead of keeping (it keeps the first).
std::expected<void, RecordFault> ParseLine(std::string_view line, std::size_t droppedBlanks, const LineContext &context)
{
    std::size_t blanks = 0;
    while (blanks < line.size() && IsBlank(line[blanks]))
        ++blanks;
    if (droppedBlanks + blanks > 0 && blanks < line.size() && IsRecordMark(line[blanks]))
        return ParseRecord(line.substr(blanks), droppedBlanks + blanks, context);
    // Read as it stands. With blanks dropped, there were two or more, so
    // position 1 is a blank: no record type, the line is ignored.
    if (droppedBlanks > 0)
        return {};
    return ParseRecord(line, 0, context);
}

// Whether a line holds nothing but blanks and end-of-file marks (0x1A).
bool IsEmptyLine(std::string_view line)
{
    for (char c : line) {
        if (!IsBlank(c) && c != '\x1A')
            return false;
    }
    return true;
}

// An Intel HEX line: blank, or a record from ':' after blanks.
std::expected<void, RecordFault> ParseHexLine(std::string_view line, std::size_t droppedBlanks, LineBeyond beyond,
                                              IntelHexState &state, const LineContext &context)
{
    if (IsEmptyLine(line) && beyond == LineBeyond::Nothing)
        return {};
    std::size_t blanks = 0;
    while (blanks < line.size() && IsBlank(line[blanks]))
        ++blanks;
    const std::size_t offset = droppedBlanks + blanks;
    if (blanks == line.size() || line[blanks] != ':') {
        const std::string found = blanks < line.size() ? CharacterName(line, blanks) : "' '";
        return std::unexpected(RecordFault{found + Phrase(" at column %zu, where a record starts with ':'", offset + 1)});
    }
    if (context.tally)
        ++context.tally->records;
    return ParseIntelHexRecord(line.substr(blanks), offset, beyond, context.line, state, context.image, context.tally,
                               context.verifyChecksum);
}

// Whether a line holds a byte that no text file does: a control character
// other than a tab, a form feed or the end-of-file mark 0x1A.
bool HoldsNonText(std::string_view line)
{
    for (char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t' && byte != '\v' && byte != '\f' && byte != 0x1A) || byte == 0x7F)
            return true;
    }
    return false;
}

// The format a text file's first line that is not empty shows: an S-record
// type ('S' and a digit) or an Intel HEX record (':'), after any blanks.
std::optional<TextFormat> FormatOfFirstLine(std::string_view line)
{
    std::size_t at = 0;
    while (at < line.size() && IsBlank(line[at]))
        ++at;
    if (at + 1 < line.size() && IsRecordMark(line[at]) && line[at + 1] >= '0' && line[at + 1] <= '9')
        return TextFormat::SRecord;
    if (at < line.size() && line[at] == ':')
        return TextFormat::IntelHex;
    return std::nullopt;
}

}  // namespace

void SRecordImage::Clear()
{
    ImageBuffer.assign(ImageSize, 0xFF);
    MaxAddress = 0;
}

std::expected<void, std::string> ParseSRecordLine(std::string_view line, SRecordImage &image, bool verifyChecksum)
{
    if (auto parsed = ParseLine(line, 0, LineContext{image, nullptr, verifyChecksum}); !parsed)
        return std::unexpected(std::move(parsed.error().detail));
    return {};
}

std::string FileAccessMessage(bool opening, const std::string &path, const std::string &detail)
{
    return (opening ? "Cannot open S-record file " : "Cannot read S-record file ") + path + ": " + detail;
}

std::string DescribeSRecordError(const SRecordError &error)
{
    switch (error.kind) {
    case SRecordError::Kind::CannotOpen:
        return FileAccessMessage(true, error.path, error.detail);
    case SRecordError::Kind::CannotRead:
        return FileAccessMessage(false, error.path, error.detail);
    case SRecordError::Kind::BadRecord:
        break;
    }
    return "S-record file " + error.path + (error.line ? ", line " + std::to_string(error.line) : std::string()) + ": " + error.detail;
}

SRecordLoader::SRecordLoader(SRecordImage &image, TextLoadOptions options)
    : image_(image), options_(options), format_(options.format)
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
    std::size_t kept = 0;
    if (pendingLength_ < pending_.size()) {
        kept = std::min(pending_.size() - pendingLength_, size);
        std::memcpy(pending_.data() + pendingLength_, data, kept);
    }
    // Past what is kept, only whether anything but blanks follows matters
    // (an Intel HEX record may be followed by blanks only, and its
    // end-of-file record by padding).
    for (std::size_t k = kept; k < size && pendingBeyond_ != LineBeyond::Text; ++k) {
        if (!IsBlank(data[k]))
            pendingBeyond_ = IsPadding(data[k]) ? LineBeyond::Padding : LineBeyond::Text;
    }
    pendingLength_ += size;
}

std::expected<void, SRecordFault> SRecordLoader::TakeLine(std::string_view line, std::size_t droppedBlanks, LineBeyond beyond)
{
    ++lineCount_;
    if (format_ == TextFormat::Detect) {
        if (IsEmptyLine(line) && beyond == LineBeyond::Nothing)
            return {};
        const auto found = FormatOfFirstLine(line);
        if (!found && HoldsNonText(line)) {
            fault_ = SRecordFault{lineCount_, "a byte that no text holds, before any record", SRecordFault::Kind::NotRecognized};
            return std::unexpected(*fault_);
        }
        if (!found)
            return {};  // a title or a comment
        format_ = *found;
    }
    const LineContext context{image_, &tally_, options_.verifyChecksums, lineCount_, &counted_};
    auto parsed = format_ == TextFormat::IntelHex ? ParseHexLine(line, droppedBlanks, beyond, hex_, context)
                                                  : ParseLine(line, droppedBlanks, context);
    if (!parsed) {
        fault_ = SRecordFault{lineCount_, std::move(parsed.error().detail),
                              parsed.error().checksum ? SRecordFault::Kind::BadChecksum : SRecordFault::Kind::BadRecord};
        return std::unexpected(*fault_);
    }
    if (format_ == TextFormat::IntelHex && hex_.endLine != 0) {
        afterEnd_ = true;
        linesAfterEnd_ = hex_.textAfterEnd ? 1 : 0;
    }
    return {};
}

// After an Intel HEX end-of-file record: the rest is read only to count
// the lines that hold more than padding.
void SRecordLoader::SkipAfterEnd(const char *data, const char *end)
{
    for (; data < end; ++data) {
        if (*data == '\r' || *data == '\n') {
            linesAfterEnd_ += textAfterEnd_;
            textAfterEnd_ = false;
        } else {
            textAfterEnd_ |= !IsPadding(*data);
        }
    }
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
    if (afterEnd_) {
        SkipAfterEnd(p, end);
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
        // A line that fits is read where it stands; a longer one is read as
        // much as is kept of it, as when it straddles two chunks.
        if (pendingLength_ == 0 && static_cast<std::size_t>(terminator - p) <= pending_.size()) {
            taken = TakeLine(std::string_view(p, static_cast<std::size_t>(terminator - p)), 0, LineBeyond::Nothing);
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
        if (afterEnd_) {
            SkipAfterEnd(p, end);
            return {};
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
    const LineBeyond beyond = pendingBeyond_;
    pendingLength_ = 0;
    droppedBlanks_ = 0;
    pendingBeyond_ = LineBeyond::Nothing;
    return TakeLine(std::string_view(pending_.data(), kept), dropped, beyond);
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
    if (pendingLength_ != 0) {
        if (auto taken = TakePendingLine(); !taken)
            return taken;
    }
    if (afterEnd_) {
        linesAfterEnd_ += textAfterEnd_;
        textAfterEnd_ = false;
        if (linesAfterEnd_ > 0)
            tally_.Note(0, Phrase("%ld %s after the end-of-file record of line %ld %s ignored", linesAfterEnd_,
                                  linesAfterEnd_ == 1 ? "line" : "lines", hex_.endLine, linesAfterEnd_ == 1 ? "is" : "are"));
    }
    // A file whose end-of-file record is missing may have been cut short.
    if (format_ == TextFormat::IntelHex && hex_.endLine == 0)
        fault_ = SRecordFault{0, "the file ends without an end-of-file record (:00000001FF); it may be cut short"};
    else if (format_ == TextFormat::Detect)
        fault_ = SRecordFault{0, "no record", SRecordFault::Kind::NotRecognized};
    if (fault_)
        return std::unexpected(*fault_);
    return {};
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
