// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/RecordText.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

namespace qw735 {

// What an Intel HEX file has said so far that later records depend on.
struct IntelHexState {
    std::uint64_t base = 0;  // from the last type 02 or 04 record
    bool segmented = false;  // type 02: offsets wrap within their 64 KiB segment
    long endLine = 0;        // line of the end-of-file record, 0 before it
    bool textAfterEnd = false;  // its line goes on with more than padding
};

// Applies one Intel HEX line (without its terminator) to the image: empty
// (blanks and 0x1A only, however long), or a
// record from its ':' after any blanks, `droppedBlanks` of them counted but
// not kept. Types 00 (data), 01 (end of file), 02 (extended segment
// address), 03 (start segment address, ignored), 04 (extended linear
// address) and 05 (start linear address, ignored); anything else, a digit
// that is none, a record shorter or longer than its byte count, or a type
// whose byte count is not its own, is a BadRecord naming the column. Only
// blanks may follow the checksum; `beyond` says what follows past what was
// kept of the line. The end-of-file record ends the file: what follows it on
// its line is no part of the record (`textAfterEnd` says whether more than
// padding does), and no record may be given after it. The checksum is
// verified (a wrong one is a BadChecksum) unless `context.verifyChecksum`
// is false. Nothing is stored from a faulty record.
[[nodiscard]] std::expected<void, ProgramError> ParseIntelHexLine(std::string_view line, std::size_t droppedBlanks, LineBeyond beyond,
                                                                  IntelHexState &state, const LineContext &context);

}  // namespace qw735
