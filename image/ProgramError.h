// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qw735 {

// The kinds of file a program comes in. A file's kind is told by its
// content, never by its name; Binary only when the user asks for it.
enum class ProgramFormat { SRecord, IntelHex, Elf, Binary };

// "S-record", "Intel HEX", "ELF", "binary".
const char *FormatName(ProgramFormat format);

// Why a program file cannot be written: its kind says what a user can do
// about it, the other fields what the message names.
struct ProgramError {
    enum class Kind {
        CannotOpen,   // detail: the operating system's reason
        NotReadable,  // a kind of file the reader does not take; detail: "it is a pipe, not a regular file", "Is a directory"
        CannotRead,   // detail: the operating system's reason for a read that failed
        BadRecord,    // a malformed record (a line of a text file, or the file's end)
        BadChecksum,  // a record whose checksum does not match its bytes
        BadElf,       // an ELF file that is cut short or contradicts itself
        NotRecognized,     // none of the formats read by content
        Utf16WithoutMark,  // none either, but its start is text in UTF-16 without a byte-order mark
    };
    // What the start of a file of kind Utf16WithoutMark shows.
    struct Utf16Text {
        bool bigEndian = false;
        // The format its first character begins ('S' or ':'), if any.
        std::optional<ProgramFormat> looksLike;
    };

    Kind kind;
    ProgramFormat format = ProgramFormat::SRecord;  // of the record at fault
    long line = 0;       // 1-based; 0 when the fault is not on one line
    std::string detail;  // what is wrong, as a phrase
    Utf16Text utf16 = {};
};

// One line for the user, naming the file as `file`:
//   "Cannot open S-record file /x/a.mot: No such file or directory"
//   "Cannot read S-record file /x/a.mot: it is a pipe, not a regular file"
//   "S-record file /x/a.mot, line 3: checksum 0x5D found, 0x5C expected"
//   "Intel HEX file /x/a.hex, line 7: unknown record type 0x06 at columns 8-9 (known: 00 to 05)"
//   "ELF file /x/a.elf: it is cut short: it ends at byte 0x80, inside segment 1 (bytes 0x54-0x17F)"
//   "/x/a.bin is not an S-record, Intel HEX or ELF file"
// A file that cannot be opened or read is an "S-record file" whatever it
// holds: scripts look for those words.
std::string DescribeProgramError(const ProgramError &error, std::string_view file);

}  // namespace qw735
