// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/BinaryImage.h"
#include "image/ElfImage.h"
#include "image/InputFile.h"
#include "image/LineReader.h"
#include "image/LoadTally.h"
#include "image/ProgramError.h"
#include "image/ProgramImage.h"
#include "image/Utf16Text.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qw735 {

struct ProgramOptions {
    // A record whose checksum does not match its bytes stops the load;
    // when false it is stored as it stands (a file patched by hand).
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

// Loads a program file of any format: takes the file's bytes in chunks of
// any size, with the same result however they are split. The first bytes
// decide: the ELF magic number, a UTF-16 byte-order mark (the text is
// decoded and read on; text cut in the middle of a character, or with half
// a surrogate pair, is refused), or else text, S-records or Intel HEX by its
// first line that is a record (LineReader). With binaryAt, the bytes are the
// image from that address on. Memory does not depend on the input.
class ProgramLoader {
public:
    // Clears the image; the loader writes into it and must not outlive it.
    ProgramLoader(ProgramImage &image, ProgramOptions options = {});
    ~ProgramLoader();

    [[nodiscard]] std::expected<void, ProgramError> Feed(const char *data, std::size_t size);
    [[nodiscard]] std::expected<ProgramSummary, ProgramError> Finish();

private:
    [[nodiscard]] std::expected<void, ProgramError> Decide();
    [[nodiscard]] std::expected<void, ProgramError> Pass(const char *data, std::size_t size);
    [[nodiscard]] std::expected<void, ProgramError> PassUtf16(const char *data, std::size_t size);
    [[nodiscard]] std::unexpected<ProgramError> TextFault(ProgramError fault) const;
    ProgramSummary Summary(const LoadTally &tally) const;

    ProgramImage &image_;
    ProgramOptions options_;
    enum class Mode { Undecided, Text, Utf16, Elf, Binary } mode_ = Mode::Undecided;
    char head_[4] = {};
    std::size_t headSize_ = 0;
    std::string start_;                // text: the file's first bytes, to tell UTF-16 without a mark
    std::optional<LineReader> text_;
    std::optional<Utf16Decoder> utf16_;
    std::string decoded_;              // UTF-16: one chunk as UTF-8
    std::optional<LoadTally> tally_;   // for ELF and binary; the line reader has its own
    std::optional<ElfLoader> elf_;
    std::optional<BinaryLoader> binary_;
};

// Loads the file at `path` (streamed, never read whole) into the image. It
// must be of one of `kinds`. `seen`, when given, gets every byte read, in
// order: a digest of exactly what was loaded, also from a pipe that cannot
// be read twice. After an error the image must not be used.
[[nodiscard]] std::expected<ProgramSummary, ProgramError> LoadProgramFile(const std::string &path, ProgramImage &image,
                                                                          const ProgramOptions &options = {},
                                                                          InputKinds kinds = InputKinds::Files,
                                                                          const std::function<void(std::string_view)> &seen = {});

}  // namespace qw735
