// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/LineReader.h"

#include "image/ProgramImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qw735 {

namespace {

std::string Phrase(const char *format, auto... values)
{
    char text[240];
    std::snprintf(text, sizeof text, format, values...);
    return text;
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
    if (at + 1 < line.size() && IsSRecordMark(line[at]) && line[at + 1] >= '0' && line[at + 1] <= '9')
        return TextFormat::SRecord;
    if (at < line.size() && line[at] == ':')
        return TextFormat::IntelHex;
    return std::nullopt;
}

}  // namespace

LineReader::LineReader(ProgramImage &image, TextLoadOptions options)
    : image_(image), options_(options), format_(options.format)
{
    image_.Clear();
}

void LineReader::Keep(const char *data, std::size_t size)
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
    // Past what is kept, only what kind of bytes follow matters: an Intel
    // HEX record may be followed by blanks only, its end-of-file record by
    // padding, and an empty line holds blanks and end-of-file marks.
    for (std::size_t k = kept; k < size && pendingBeyond_ != LineBeyond::Text; ++k) {
        if (IsBlank(data[k]))
            continue;
        const LineBeyond found = data[k] == '\x1A' ? LineBeyond::EndMarks : IsPadding(data[k]) ? LineBeyond::Padding : LineBeyond::Text;
        pendingBeyond_ = std::max(pendingBeyond_, found);
    }
    pendingLength_ += size;
}

std::expected<void, ProgramError> LineReader::TakeLine(std::string_view line, std::size_t droppedBlanks, LineBeyond beyond)
{
    ++lineCount_;
    if (format_ == TextFormat::Detect) {
        if (IsEmptyLine(line, beyond))
            return {};
        const auto found = FormatOfFirstLine(line);
        if (!found && HoldsNonText(line))
            return Fail({ProgramError::Kind::NotRecognized, ProgramFormat::SRecord, lineCount_, "a byte that no text holds, before any record"});
        if (!found)
            return {};  // a title or a comment
        format_ = *found;
    }
    const LineContext context{image_, tally_, options_.verifyChecksums, lineCount_};
    auto parsed = format_ == TextFormat::IntelHex ? ParseIntelHexLine(line, droppedBlanks, beyond, hex_, context)
                                                  : ParseSRecordLine(line, droppedBlanks, context, counted_);
    if (!parsed) {
        parsed.error().format = RecordFormat();
        parsed.error().line = lineCount_;
        return Fail(std::move(parsed.error()));
    }
    if (format_ == TextFormat::IntelHex && hex_.endLine != 0) {
        afterEnd_ = true;
        linesAfterEnd_ = hex_.textAfterEnd ? 1 : 0;
    }
    return {};
}

// After an Intel HEX end-of-file record: the rest is read only to count
// the lines that hold more than padding.
void LineReader::SkipAfterEnd(const char *data, const char *end)
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

void LineReader::SkipByteOrderMark(const char *&data, const char *end)
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

std::expected<void, ProgramError> LineReader::Feed(const char *data, std::size_t size)
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
        std::expected<void, ProgramError> taken;
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

std::expected<void, ProgramError> LineReader::TakePendingLine()
{
    const std::size_t kept = std::min(pendingLength_, pending_.size());
    const std::size_t dropped = droppedBlanks_;
    const LineBeyond beyond = pendingBeyond_;
    pendingLength_ = 0;
    droppedBlanks_ = 0;
    pendingBeyond_ = LineBeyond::Nothing;
    return TakeLine(std::string_view(pending_.data(), kept), dropped, beyond);
}

std::expected<void, ProgramError> LineReader::Finish()
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
        return Fail({ProgramError::Kind::BadRecord, ProgramFormat::IntelHex, 0,
                     "the file ends without an end-of-file record (:00000001FF); it may be cut short"});
    if (format_ == TextFormat::Detect)
        return Fail({ProgramError::Kind::NotRecognized, ProgramFormat::SRecord, 0, "no record"});
    return {};
}

std::expected<void, ProgramError> LineReader::Fail(ProgramError fault)
{
    fault_ = std::move(fault);
    return std::unexpected(*fault_);
}

ProgramFormat LineReader::RecordFormat() const
{
    return format_ == TextFormat::IntelHex ? ProgramFormat::IntelHex : ProgramFormat::SRecord;
}

}  // namespace qw735
