// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/ElfImage.h"
#include "image/InputFile.h"
#include "image/LoadTally.h"
#include "image/SRecordImage.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qw735 {

// The kinds of file a program comes in. A file's kind is told by its
// content, never by its name; Binary only when the user asks for it.
enum class ProgramFormat { SRecord, IntelHex, Elf, Binary };

// "S-record", "Intel HEX", "ELF", "binary".
const char *FormatName(ProgramFormat format);

struct ProgramOptions {
    // A record whose checksum does not match its bytes stops the load;
    // when false it is stored as it stands, as S-records always were.
    bool verifyChecksums = true;
    // Read the file as raw bytes for this address on, whatever it holds.
    std::optional<std::uint64_t> binaryAt;
};

// What a load found, for the summary and the warnings.
struct ProgramSummary {
    ProgramFormat format = ProgramFormat::SRecord;
    std::string detail;        // "UTF-16", "32-bit, little-endian", "at 0x1000"; may be empty
    long records = 0;          // records, or loadable segments for ELF
    long dataRecords = 0;      // of them, those with data
    long sections = 0;         // ELF: the sections written; 0 when the file has none
    std::vector<AddressRange> loaded;
    std::uint64_t loadedBytes = 0;
    std::uint64_t droppedBytes = 0;           // given for addresses past the data area
    std::vector<AddressRange> droppedRanges;  // merged; the first LoadTally::ListedDroppedRanges
    bool droppedRangesCut = false;
    std::uint64_t overwrittenBytes = 0;       // given again with another value
    // What the user should know of a file that is written all the same; the
    // first LoadTally::ListedNotes, the others counted.
    std::vector<LoadNote> notes;
    std::uint64_t notesLeftOut = 0;
};

struct ProgramError {
    // BadRecord: a malformed record (a line of a text file, or the file's
    // end). BadChecksum: a record whose checksum does not match. BadElf: an
    // ELF file that is cut short or contradicts itself. NotRecognized: none
    // of the formats read by content.
    enum class Kind { CannotOpen, CannotRead, BadRecord, BadChecksum, BadElf, NotRecognized };
    Kind kind;
    std::string path;  // the file as given
    ProgramFormat format = ProgramFormat::SRecord;
    long line = 0;       // 1-based; 0 when the fault is not on one line
    std::string detail;  // what is wrong; the OS reason for CannotOpen/CannotRead
};

// One line for the user:
//   "Cannot open S-record file /x/a.mot: No such file or directory"
//   "S-record file /x/a.mot, line 3: checksum 0x5D found, 0x5C expected"
//   "Intel HEX file /x/a.hex, line 7: unknown record type 0x06 at columns 8-9 (known: 00 to 05)"
//   "ELF file /x/a.elf: it is cut short: it ends at byte 0x80, inside segment 1 (bytes 0x54-0x17F)"
//   "/x/a.bin is not an S-record, Intel HEX or ELF file"
std::string DescribeProgramError(const ProgramError &error);

// Incremental loader of a program file of any format: takes the file's
// bytes in chunks of any size, with the same result however they are
// split. The first bytes decide: the ELF magic number, a UTF-16 byte-order
// mark (the text is decoded and read on; text cut in the middle of a
// character, or with half a surrogate pair, is refused), or else text,
// S-records or Intel HEX by its first line that is a record
// (SRecordLoader). With binaryAt, the bytes are the image from that address
// on. Memory does not depend on the input.
class ProgramLoader {
public:
    // Clears the image; the loader writes into it and must not outlive it.
    ProgramLoader(SRecordImage &image, ProgramOptions options = {});
    ~ProgramLoader();

    // The error has no path: the caller knows the file.
    [[nodiscard]] std::expected<void, ProgramError> Feed(const char *data, std::size_t size);
    [[nodiscard]] std::expected<ProgramSummary, ProgramError> Finish();

private:
    [[nodiscard]] std::expected<void, ProgramError> Decide();
    [[nodiscard]] std::expected<void, ProgramError> Pass(const char *data, std::size_t size);
    [[nodiscard]] std::expected<void, ProgramError> PassUtf16(const char *data, std::size_t size);
    [[nodiscard]] std::expected<void, ProgramError> TextFault(const SRecordFault &fault) const;
    [[nodiscard]] std::expected<void, ProgramError> Utf16Fault(long line, std::string detail) const;
    [[nodiscard]] std::expected<void, ProgramError> FeedDecoded();
    ProgramFormat TextProgramFormat() const;

    SRecordImage &image_;
    ProgramOptions options_;
    enum class Mode { Undecided, Text, Utf16Le, Utf16Be, Elf, Binary } mode_ = Mode::Undecided;
    char head_[4] = {};
    std::size_t headSize_ = 0;
    std::optional<SRecordLoader> text_;
    std::optional<LoadTally> tally_;   // for ELF and binary; the text loader has its own
    std::optional<ElfLoader> elf_;
    std::uint64_t binaryOffset_ = 0;
    int oddByte_ = -1;                 // UTF-16: the first byte of a unit split between chunks
    std::uint16_t highSurrogate_ = 0;  // UTF-16: waiting for its low half
    std::string decoded_;              // UTF-16: one chunk as UTF-8
};

// Loads the file at `path` (streamed, never read whole) into the image. It
// must be of one of `kinds`. `seen`, when given, gets every byte read, in
// order. After an error the image must not be used.
[[nodiscard]] std::expected<ProgramSummary, ProgramError> LoadProgramFile(const std::string &path, SRecordImage &image,
                                                                          const ProgramOptions &options = {},
                                                                          InputKinds kinds = InputKinds::Files,
                                                                          const std::function<void(std::string_view)> &seen = {});

}  // namespace qw735
