// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/InputFile.h"
#include "image/IntelHex.h"
#include "image/LoadTally.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
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

// No position of a record (counted from its first character, normally the
// 'S' or ':') at or past this one is ever read: the longest record of any
// type, its checksum included, ends well before it.
inline constexpr std::size_t LongestReadLinePrefix = 1024;

// Applies one line (without its terminator) to the image. Position 0 is never
// looked at; position 1 is the type, and any type other than 1, 2 or 3 makes
// the line ignored. Empty and blank lines, and a line of 0x1A end-of-file
// marks, are ignored by that same rule. Data below DataAreaSize is stored and
// raises MaxAddress; the rest of the record is dropped. The checksum of a
// record that carries data is verified (a wrong one is an error, and nothing
// of the record is stored) unless `verifyChecksum` is false, when it is
// neither read nor needed; nothing after it is read.
//
// A record may stand after blanks (spaces and tabs): when the first character
// after them is 'S' or 's', the record is read from there. Any other line is
// read as it stands, so a line that starts with two blanks and no record is
// ignored as before, and one blank in position 0 changes nothing.
//
// The error is a short phrase naming the problem, with 1-based columns of the
// whole line; an ignored line is no error. A record is judged on all the
// positions its byte count asks for, even those whose data is dropped, so
// whether a file is accepted never depends on where its data lands. On an
// error the image may already hold part of the record.
[[nodiscard]] std::expected<void, std::string> ParseSRecordLine(std::string_view line, SRecordImage &image, bool verifyChecksum = true);

struct SRecordError {
    enum class Kind { CannotOpen, CannotRead, BadRecord };
    Kind kind;
    std::string path;    // the file as given
    long line = 0;       // 1-based, BadRecord only
    std::string detail;  // what is wrong; the OS reason for CannotOpen/CannotRead
};

// How a reader says that a program file could not be opened or read:
// "Cannot open S-record file PATH: DETAIL" ("Cannot read ..."), the same
// words for every format, since scripts look for them.
std::string FileAccessMessage(bool opening, const std::string &path, const std::string &detail);

// One line for the user, naming the file (and the line for BadRecord):
//   "S-record file /x/a.mot, line 12: 'G' at column 12 is not a hexadecimal digit"
//   "Cannot open S-record file /x/a.mot: No such file or directory"
//   "Cannot read S-record file /x/a.mot: Is a directory"
std::string DescribeSRecordError(const SRecordError &error);

// The record that stopped a load.
struct SRecordFault {
    // BadChecksum: a record whose checksum does not match its bytes.
    // NotRecognized: the text is neither S-records nor Intel HEX (only when
    // the format is detected).
    enum class Kind { BadRecord, BadChecksum, NotRecognized };
    long line = 0;       // 1-based; 0 for a fault of the whole file
    std::string detail;  // as ParseSRecordLine says it
    Kind kind = Kind::BadRecord;
};

// The text formats the loader reads, or Detect: the first line that is a
// record decides ('S' and a digit, or ':' after any blanks). Lines before
// it, a title or a comment, are skipped, as S-record files always had
// lines that are no record skipped. A file without such a line is not
// recognised, and neither is one with a byte before it that no text holds
// (a control character other than a tab, a form feed or 0x1A): a binary
// file is told at once, not read to its end.
enum class TextFormat { SRecord, IntelHex, Detect };

// Data records (S1, S2, S3) counted for the count records (S5, S6): since
// the start, or since the header record (S0) of line `sinceLine` that
// began another file's records, as when files are joined end to end.
struct SRecordCount {
    long dataRecords = 0;
    long sinceLine = 0;
};

struct TextLoadOptions {
    TextFormat format = TextFormat::SRecord;
    bool verifyChecksums = true;
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
//
// Intel HEX lines (TextFormat::IntelHex, or detected) are read by
// ParseIntelHexRecord, after blanks; empty lines are skipped, any other line
// must be a record, and the file must end with its end-of-file record.
// Nothing after that record is read as a record: padding is skipped, and
// lines with more than padding are counted and noted in the tally.
//
// A count record (S5, S6) whose count does not match the data records
// before it is noted in the tally; the file is read all the same.
class SRecordLoader {
public:
    // Clears the image; the loader writes into it and must not outlive it.
    explicit SRecordLoader(SRecordImage &image, TextLoadOptions options = {});

    // Takes the next bytes. The error is the bad record that stopped the
    // load, here or before: stop feeding.
    [[nodiscard]] std::expected<void, SRecordFault> Feed(const char *data, std::size_t size);
    // Handles the last line when the input did not end with a terminator;
    // the error is the bad record met here or before. Feed no more after.
    [[nodiscard]] std::expected<void, SRecordFault> Finish();

    // Lines completed so far (all of them, after Finish()), up to an Intel
    // HEX end-of-file record.
    long LineCount() const { return lineCount_; }
    // The format read: Detect until the first line that is a record.
    TextFormat Format() const { return format_; }
    const LoadTally &Tally() const { return tally_; }

private:
    [[nodiscard]] std::expected<void, SRecordFault> TakeLine(std::string_view line, std::size_t droppedBlanks, LineBeyond beyond);
    [[nodiscard]] std::expected<void, SRecordFault> TakePendingLine();
    void Keep(const char *data, std::size_t size);
    void SkipByteOrderMark(const char *&data, const char *end);
    void SkipAfterEnd(const char *data, const char *end);

    SRecordImage &image_;
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
    std::optional<SRecordFault> fault_;  // once met, every later call reports it
};

// Rebuilds the image from the file at `path`. The file is streamed, never
// read whole, and must be of one of `kinds` (a directory, a device or a
// socket is never an S-record file). After an error the image holds what the
// load had stored so far, possibly part of the bad record: do not use it.
// `seen`, when given, gets every byte read, in order: a digest of exactly
// what was loaded, also from a pipe that cannot be read twice.
[[nodiscard]] std::expected<void, SRecordError> LoadSRecordFile(const std::string &path, SRecordImage &image,
                                                  InputKinds kinds = InputKinds::Files,
                                                  const std::function<void(std::string_view)> &seen = {});

// Whether LoadSRecordFile would go ahead with the file at `path`, judged by
// its kind without opening it; the error is the one the load would end with.
[[nodiscard]] std::expected<void, SRecordError> CheckSRecordFileKind(const std::string &path, InputKinds kinds);

}  // namespace qw735
