// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/RecordText.h"

#include <cstddef>
#include <expected>
#include <string_view>

namespace qw735 {

// The first character of an S-record, 'S' (or 's': any hexadecimal text may
// come in lower case).
constexpr bool IsSRecordMark(char c)
{
    return c == 'S' || c == 's';
}

// Data records (S1, S2, S3) counted for the count records (S5, S6): since
// the start, or since the header record (S0) of line `sinceLine` that
// began another file's records, as when files are joined end to end.
struct SRecordCount {
    long dataRecords = 0;
    long sinceLine = 0;
};

// Applies one S-record line (without its terminator) to the image, standing
// after `droppedBlanks` more blanks than it holds (a reader may count long
// runs of blanks instead of keeping them; it keeps the first). Position 0 of
// a record is never looked at; position 1 is the type, and any type other
// than 1, 2 or 3 makes the line ignored. Empty and blank lines, and a line
// of 0x1A end-of-file marks, are ignored by that same rule. Data below
// DataAreaSize is stored and raises MaxAddress; the rest of the record is
// dropped, and counted in the tally. The checksum of a record that carries
// data is verified (a wrong one is a BadChecksum, and nothing of the record
// is stored) unless `context.verifyChecksum` is false, when it is neither
// read nor needed; nothing after it is read.
//
// A record may stand after blanks (spaces and tabs): when the first character
// after them is 'S' or 's', the record is read from there. Any other line is
// read as it stands, so a line that starts with two blanks and no record is
// ignored, and one blank in position 0 changes nothing.
//
// A count record (S5, S6) whose count does not match the data records
// counted before it is noted in the tally; the file is read all the same.
//
// The error's detail is a short phrase naming the problem, with 1-based
// columns of the whole line; an ignored line is no error. A record is judged
// on all the positions its byte count asks for, even those whose data is
// dropped, so whether a file is accepted never depends on where its data
// lands. On an error the image may already hold part of the record.
[[nodiscard]] std::expected<void, ProgramError> ParseSRecordLine(std::string_view line, std::size_t droppedBlanks, const LineContext &context,
                                                                 SRecordCount &counted);

}  // namespace qw735
