// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace qw735 {

class LoadTally;
struct SRecordImage;

// Reads an ELF file (32 or 64 bits, either byte order) into the image as it
// streams by, in one pass and in memory that does not grow with the file:
// the bytes of every loadable segment (PT_LOAD), as many as it has in the
// file, go to its physical address. The zero fill of a segment beyond its
// file bytes is not stored: the area keeps 0xFF there, as for any address
// no file names. Bytes are kept only until the program header table has
// gone by, and that table must end within the first ElfTableLimit bytes of
// the file (linkers put it right after the ELF header).
//
// A file cut short, a header that contradicts itself, segments that
// overlap in physical memory or a file without loadable bytes is an error
// that names what is wrong; the image may then hold part of the file: do
// not use it.
inline constexpr std::uint64_t ElfTableLimit = 1024 * 1024;

class ElfLoader {
public:
    // The loader stores into `image` through `tally`; neither may go before it.
    ElfLoader(SRecordImage &image, LoadTally &tally);

    // Takes the next bytes; the error says what is wrong: stop feeding.
    [[nodiscard]] std::expected<void, std::string> Feed(const char *data, std::size_t size);
    // The input ended; the error says what is missing.
    [[nodiscard]] std::expected<void, std::string> Finish();

    // "32-bit, little-endian", once the header has been read.
    std::string Describe() const;

private:
    struct Segment {
        std::uint64_t offset;    // in the file
        std::uint64_t address;   // physical
        std::uint64_t size;      // bytes in the file
        int number;              // 1-based, in the table
    };
    enum class Phase { Header, Table, Segments };

    [[nodiscard]] std::expected<void, std::string> ReadIdent();
    [[nodiscard]] std::expected<void, std::string> ReadHeader();
    [[nodiscard]] std::expected<void, std::string> ReadTable();
    void StoreSpan(const char *data, std::uint64_t from, std::uint64_t size);
    std::uint64_t Field(std::size_t at, int bytes) const;
    [[nodiscard]] std::expected<void, std::string> Fail(std::string why);

    SRecordImage &image_;
    LoadTally &tally_;
    Phase phase_ = Phase::Header;
    std::vector<char> head_;      // the file's start, up to the table's end
    std::uint64_t consumed_ = 0;  // bytes taken so far
    bool is64_ = false;
    bool bigEndian_ = false;
    std::uint64_t tableOffset_ = 0;
    std::uint64_t tableEnd_ = 0;
    unsigned entrySize_ = 0;
    unsigned entries_ = 0;
    unsigned type_ = 0;
    std::vector<Segment> segments_;
    std::string fault_;
};

}  // namespace qw735
