// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/IntelHex.h"
#include "image/LoadTally.h"
#include "image/ProgramError.h"
#include "image/RecordText.h"
#include "image/SRecord.h"

#include <array>
#include <cstddef>
#include <expected>
#include <optional>
#include <string_view>

namespace qw735 {

struct ProgramImage;

// The text formats the line reader reads, or Detect: the first line that is
// a record decides ('S' and a digit, or ':' after any blanks). Lines before
// it, a title or a comment that tools and people put at a file's head, are
// skipped, as an S-record reader skips every line that is no record. A file
// without such a line is not
// recognised, and neither is one with a byte before it that no text holds
// (a control character other than a tab, a form feed or 0x1A): a binary
// file is told at once, not read to its end.
enum class TextFormat { SRecord, IntelHex, Detect };

struct TextLoadOptions {
    TextFormat format = TextFormat::SRecord;
    bool verifyChecksums = true;
};

// Reads a program file's text line by line into the image: takes the bytes
// in chunks of any size and gives the same result however they are split.
// A UTF-8 byte-order mark at the very start of the input is skipped
// (editors on some systems write one). Lines end at CR LF, a lone CR or a
// lone LF (a CR at the end of one chunk and an LF at the start of the next
// are one terminator); a last line without terminator counts once Finish()
// is called. Memory use does not depend on the input: of each line only the
// blanks' count and the first LongestReadLinePrefix characters after them
// are kept.
//
// S-record lines are read by ParseSRecordLine, Intel HEX lines by
// ParseIntelHexLine, and an Intel HEX file must end with its end-of-file
// record. Nothing after that record is read as a record: padding is
// skipped, and lines with more than padding are counted and noted in the
// tally.
class LineReader {
public:
    // Clears the image; the reader writes into it and must not outlive it.
    explicit LineReader(ProgramImage &image, TextLoadOptions options = {});

    // Takes the next bytes. The error is the bad record that stopped the
    // load, here or before, with its format and line: stop feeding.
    [[nodiscard]] std::expected<void, ProgramError> Feed(const char *data, std::size_t size);
    // Handles the last line when the input did not end with a terminator;
    // the error is the bad record met here or before. Feed no more after.
    [[nodiscard]] std::expected<void, ProgramError> Finish();

    // Lines completed so far (all of them, after Finish()), up to an Intel
    // HEX end-of-file record.
    long LineCount() const { return lineCount_; }
    // The format read: Detect until the first line that is a record.
    TextFormat Format() const { return format_; }
    // The format of the records read: Intel HEX once given or told,
    // S-record otherwise.
    ProgramFormat RecordFormat() const;
    const LoadTally &Tally() const { return tally_; }

private:
    [[nodiscard]] std::expected<void, ProgramError> TakeLine(std::string_view line, std::size_t droppedBlanks, LineBeyond beyond);
    [[nodiscard]] std::expected<void, ProgramError> TakePendingLine();
    [[nodiscard]] std::expected<void, ProgramError> Fail(ProgramError fault);
    void Keep(const char *data, std::size_t size);
    void SkipByteOrderMark(const char *&data, const char *end);
    void SkipAfterEnd(const char *data, const char *end);

    ProgramImage &image_;
    TextLoadOptions options_;
    TextFormat format_;
    IntelHexState hex_;
    LoadTally tally_;
    // The unfinished line: its first blank, if any, and what follows the
    // blanks, which is as much as a record needs.
    std::array<char, 1 + LongestReadLinePrefix> pending_{};
    std::size_t pendingLength_ = 0;     // true length of the unfinished line, dropped blanks aside
    std::size_t droppedBlanks_ = 0;     // blanks after its first one, counted only
    LineBeyond pendingBeyond_ = LineBeyond::Nothing;  // what lies past what is kept of it
    std::size_t markBytes_ = 0;         // bytes of a byte-order mark seen at the start
    bool pastStart_ = false;            // the start of the input, and any mark, are behind
    long lineCount_ = 0;
    bool afterCarriageReturn_ = false;  // an LF now only completes a CR LF
    SRecordCount counted_;
    // After an Intel HEX end-of-file record: the lines that hold more than
    // padding, and whether the line being read does.
    bool afterEnd_ = false;
    long linesAfterEnd_ = 0;
    bool textAfterEnd_ = false;
    std::optional<ProgramError> fault_;  // once met, every later call reports it
};

}  // namespace qw735
