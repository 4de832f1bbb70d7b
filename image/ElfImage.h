// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/ProgramError.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace qw735 {

class LoadTally;
struct ProgramImage;

// Reads an ELF file (32 or 64 bits, either byte order) into the image as it
// streams by, in one pass and in memory that does not grow with the file.
//
// What goes into the image is what the tools that convert ELF files write:
// the contents of the allocated sections that have bytes in the file
// (SHF_ALLOC, not SHT_NOBITS), each at its load address, which is the
// physical address of the loadable segment (PT_LOAD) holding it plus the
// section's distance from the segment's start in the file. A linker often
// puts the ELF header and the program headers into a loadable segment,
// below the first section; they are no part of any section, so they stay
// out of the image. A file without section headers (stripped of them) has
// its segments written instead, less the file range of the ELF header and
// the program header table (WithoutSections()). The zero fill of a segment
// beyond its file bytes is never stored: the area keeps 0xFF there, as for
// any address no file names.
//
// The section header table usually comes last, after the bytes it
// describes. So the segments' bytes are kept as they go by, by physical
// address: only those for the data area (at most its size), since what
// lies past it is only counted. The program header table must end within
// the first ElfTableLimit bytes of the file (linkers put it right after the
// ELF header); the section header table is kept whole wherever it is (at
// most 0xFFFF entries of 64 bytes).
//
// A file cut short, a header that contradicts itself, segments that
// overlap in physical memory, a section no loadable segment holds or a file
// with nothing to write is a BadElf whose detail names what is wrong; the
// image may then hold part of the file: do not use it.
inline constexpr std::uint64_t ElfTableLimit = 1024 * 1024;

class ElfLoader {
public:
    // The loader stores into `image` through `tally`; neither may go before it.
    ElfLoader(ProgramImage &image, LoadTally &tally);

    // Takes the next bytes; after an error, stop feeding.
    [[nodiscard]] std::expected<void, ProgramError> Feed(const char *data, std::size_t size);
    // The input ended: the image is written.
    [[nodiscard]] std::expected<void, ProgramError> Finish();

    // "32-bit, little-endian", once the header has been read.
    std::string Describe() const;
    // After Finish(): the sections written; 0 when WithoutSections().
    long SectionsWritten() const { return sectionsWritten_; }
    // Whether the file has no section headers, so that its segments were
    // written, less its headers.
    bool WithoutSections() const { return sectionCount_ == 0; }

private:
    struct Segment {
        std::uint64_t offset;    // in the file
        std::uint64_t address;   // physical
        std::uint64_t size;      // bytes in the file
        int number;              // 1-based, in the table
    };
    enum class Phase { Header, Table, Body };

    [[nodiscard]] std::expected<void, ProgramError> ReadIdent();
    [[nodiscard]] std::expected<void, ProgramError> ReadHeader();
    [[nodiscard]] std::expected<void, ProgramError> ReadSectionHeaderFields();
    [[nodiscard]] std::expected<void, ProgramError> ReadTable();
    [[nodiscard]] std::expected<void, ProgramError> WriteSections();
    [[nodiscard]] std::expected<void, ProgramError> WriteSegmentsLessHeaders();
    void TakeSpan(const char *data, std::uint64_t from, std::uint64_t size);
    void WritePiece(const Segment &segment, std::uint64_t from, std::uint64_t to);
    std::uint64_t Field(const std::vector<char> &bytes, std::size_t at, int size) const;
    [[nodiscard]] std::expected<void, ProgramError> Fail(std::string why);

    ProgramImage &image_;
    LoadTally &tally_;
    Phase phase_ = Phase::Header;
    std::vector<char> head_;      // the file's start, up to the program header table's end
    std::uint64_t consumed_ = 0;  // bytes taken so far
    bool is64_ = false;
    bool bigEndian_ = false;
    std::uint64_t tableOffset_ = 0;
    std::uint64_t tableEnd_ = 0;
    unsigned entrySize_ = 0;
    unsigned entries_ = 0;
    unsigned type_ = 0;
    std::vector<Segment> segments_;
    // The section header table: where it is, and its bytes as they go by.
    std::uint64_t sectionOffset_ = 0;
    std::uint64_t sectionEnd_ = 0;
    unsigned sectionEntrySize_ = 0;
    unsigned sectionCount_ = 0;
    std::vector<char> sectionTable_;
    // The segments' bytes for the data area, by physical address.
    std::vector<std::uint8_t> staged_;
    long sectionsWritten_ = 0;
    std::optional<ProgramError> fault_;  // once met, every later call reports it
};

}  // namespace qw735
