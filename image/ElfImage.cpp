// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ElfImage.h"

#include "image/LoadTally.h"
#include "image/ProgramImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>
#include <utility>

namespace qw735 {

namespace {

constexpr std::size_t IdentSize = 16;
constexpr std::uint32_t LoadableSegment = 1;  // PT_LOAD
constexpr unsigned RelocatableType = 1;       // ET_REL: an object file, not linked
constexpr unsigned ExtendedNumbering = 0xFFFF; // PN_XNUM: the count lives elsewhere
constexpr std::uint32_t NullSection = 0;      // SHT_NULL: an unused entry
constexpr std::uint32_t NoBitsSection = 8;    // SHT_NOBITS: zero fill, no bytes in the file
constexpr std::uint64_t AllocatedFlag = 0x2;  // SHF_ALLOC: the section is in memory when the program runs

std::string Phrase(const char *format, auto... values)
{
    char text[240];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

unsigned long long Ull(std::uint64_t value)
{
    return static_cast<unsigned long long>(value);
}

}  // namespace

ElfLoader::ElfLoader(ProgramImage &image, LoadTally &tally) : image_(image), tally_(tally) {}

std::string ElfLoader::Describe() const
{
    return std::string(is64_ ? "64-bit" : "32-bit") + (bigEndian_ ? ", big-endian" : ", little-endian");
}

std::expected<void, ProgramError> ElfLoader::Fail(std::string why)
{
    fault_ = ProgramError{ProgramError::Kind::BadElf, ProgramFormat::Elf, 0, std::move(why)};
    return std::unexpected(*fault_);
}

std::uint64_t ElfLoader::Field(const std::vector<char> &bytes, std::size_t at, int size) const
{
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(bigEndian_ ? i : size - 1 - i)]);
        value = value << 8 | byte;
    }
    return value;
}

std::expected<void, ProgramError> ElfLoader::ReadIdent()
{
    if (std::memcmp(head_.data(), "\x7F" "ELF", 4) != 0)
        return Fail("it does not start with the ELF magic number");
    const auto cls = static_cast<std::uint8_t>(head_[4]);
    const auto data = static_cast<std::uint8_t>(head_[5]);
    if (cls != 1 && cls != 2)
        return Fail(Phrase("unknown ELF class %u (1 is 32-bit, 2 is 64-bit)", unsigned{cls}));
    if (data != 1 && data != 2)
        return Fail(Phrase("unknown byte order %u (1 is little-endian, 2 is big-endian)", unsigned{data}));
    if (head_[6] != 1)
        return Fail(Phrase("unknown ELF version %u", unsigned{static_cast<std::uint8_t>(head_[6])}));
    is64_ = cls == 2;
    bigEndian_ = data == 2;
    return {};
}

std::expected<void, ProgramError> ElfLoader::ReadHeader()
{
    type_ = static_cast<unsigned>(Field(head_, 16, 2));
    tableOffset_ = Field(head_, is64_ ? 32 : 28, is64_ ? 8 : 4);
    entrySize_ = static_cast<unsigned>(Field(head_, is64_ ? 54 : 42, 2));
    entries_ = static_cast<unsigned>(Field(head_, is64_ ? 56 : 44, 2));
    const unsigned wanted = is64_ ? 56 : 32;
    if (entries_ == 0 || tableOffset_ == 0) {
        if (type_ == RelocatableType)
            return Fail("it is an object file, not linked: it has no loadable segment (link it first)");
        return Fail("it has no program header table, so no loadable segment");
    }
    if (entries_ == ExtendedNumbering)
        return Fail("it counts its program headers elsewhere (0xFFFF entries), which this reader does not take");
    if (entrySize_ != wanted)
        return Fail(Phrase("its program headers are %u bytes each, not the %u of a %s file", entrySize_, wanted,
                           is64_ ? "64-bit" : "32-bit"));
    tableEnd_ = tableOffset_ + std::uint64_t{entries_} * entrySize_;
    if (tableOffset_ > ElfTableLimit || tableEnd_ > ElfTableLimit)
        return Fail(Phrase("its program header table ends at byte 0x%llX, past the first 0x%llX bytes where this reader takes it",
                           Ull(tableEnd_), Ull(ElfTableLimit)));
    if (auto sections = ReadSectionHeaderFields(); !sections)
        return sections;
    phase_ = Phase::Table;
    return {};
}

// Where the section header table is. Without one (no offset), the file's
// segments are written instead.
std::expected<void, ProgramError> ElfLoader::ReadSectionHeaderFields()
{
    sectionOffset_ = Field(head_, is64_ ? 40 : 32, is64_ ? 8 : 4);
    sectionEntrySize_ = static_cast<unsigned>(Field(head_, is64_ ? 58 : 46, 2));
    sectionCount_ = static_cast<unsigned>(Field(head_, is64_ ? 60 : 48, 2));
    if (sectionOffset_ == 0) {
        sectionCount_ = 0;
        return {};
    }
    // A count of 0 with a table means more than 0xFEFF sections, counted in
    // the table's first entry.
    if (sectionCount_ == 0)
        return Fail("it counts its section headers elsewhere (0 entries with a table at byte 0x" +
                    Phrase("%llX", Ull(sectionOffset_)) + "), which this reader does not take");
    const unsigned wanted = is64_ ? 64 : 40;
    if (sectionEntrySize_ != wanted)
        return Fail(Phrase("its section headers are %u bytes each, not the %u of a %s file", sectionEntrySize_, wanted,
                           is64_ ? "64-bit" : "32-bit"));
    const std::uint64_t tableSize = std::uint64_t{sectionCount_} * sectionEntrySize_;
    if (sectionOffset_ > std::numeric_limits<std::uint64_t>::max() - tableSize)
        return Fail(Phrase("its section header table at byte 0x%llX runs past the end of any file", Ull(sectionOffset_)));
    sectionEnd_ = sectionOffset_ + tableSize;
    return {};
}

std::expected<void, ProgramError> ElfLoader::ReadTable()
{
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    for (unsigned i = 0; i < entries_; ++i) {
        const std::size_t at = static_cast<std::size_t>(tableOffset_) + std::size_t{i} * entrySize_;
        if (Field(head_, at, 4) != LoadableSegment)
            continue;
        const int number = static_cast<int>(i) + 1;
        Segment segment{};
        std::uint64_t memorySize = 0;
        if (is64_) {
            segment = {Field(head_, at + 8, 8), Field(head_, at + 24, 8), Field(head_, at + 32, 8), number};
            memorySize = Field(head_, at + 40, 8);
        } else {
            segment = {Field(head_, at + 4, 4), Field(head_, at + 12, 4), Field(head_, at + 16, 4), number};
            memorySize = Field(head_, at + 20, 4);
        }
        ++tally_.records;
        if (segment.size > memorySize)
            return Fail(Phrase("segment %d has 0x%llX bytes in the file but only 0x%llX in memory", number,
                               Ull(segment.size), Ull(memorySize)));
        if (segment.size == 0)
            continue;
        if (segment.offset > top - segment.size || segment.address > top - (segment.size - 1))
            return Fail(Phrase("segment %d runs past the end of the address space", number));
        segments_.push_back(segment);
    }
    if (segments_.empty())
        return Fail("it has no loadable segment (PT_LOAD) with bytes in the file");
    tally_.dataRecords = static_cast<long>(segments_.size());
    // Two segments for one address would make the image depend on their order.
    std::vector<Segment> byAddress = segments_;
    std::sort(byAddress.begin(), byAddress.end(), [](const Segment &a, const Segment &b) { return a.address < b.address; });
    for (std::size_t i = 1; i < byAddress.size(); ++i) {
        const Segment &a = byAddress[i - 1];
        const Segment &b = byAddress[i];
        if (b.address <= a.address + (a.size - 1))
            return Fail(Phrase("segments %d and %d overlap at physical address 0x%llX", std::min(a.number, b.number),
                               std::max(a.number, b.number), Ull(b.address)));
    }
    phase_ = Phase::Body;
    staged_.assign(static_cast<std::size_t>(DataAreaSize), 0xFF);
    TakeSpan(head_.data(), 0, head_.size());
    head_.clear();
    head_.shrink_to_fit();
    return {};
}

// The bytes at file offsets [from, from + size): those of a segment are
// kept by physical address when they are for the data area, and those of
// the section header table are kept as they come.
void ElfLoader::TakeSpan(const char *data, std::uint64_t from, std::uint64_t size)
{
    const std::uint64_t to = from + size;
    const auto area = static_cast<std::uint64_t>(DataAreaSize);
    for (const Segment &segment : segments_) {
        const std::uint64_t first = std::max(from, segment.offset);
        const std::uint64_t last = std::min(to, segment.offset + segment.size);
        const std::uint64_t address = segment.address + (first - segment.offset);
        if (first >= last || address >= area)
            continue;
        const std::uint64_t count = std::min(last - first, area - address);
        std::memcpy(staged_.data() + address, data + (first - from), static_cast<std::size_t>(count));
    }
    const std::uint64_t first = std::max(from, sectionOffset_);
    const std::uint64_t last = std::min(to, sectionEnd_);
    if (first < last)
        sectionTable_.insert(sectionTable_.end(), data + (first - from), data + (last - from));
}

// Writes the bytes at file offsets [from, to) of `segment`: those for the
// data area from what was kept, the rest only counted as dropped.
void ElfLoader::WritePiece(const Segment &segment, std::uint64_t from, std::uint64_t to)
{
    const std::uint64_t address = segment.address + (from - segment.offset);
    const std::uint64_t count = to - from;
    const auto area = static_cast<std::uint64_t>(DataAreaSize);
    const std::uint64_t kept = address < area ? std::min(count, area - address) : 0;
    if (kept > 0)
        tally_.Store(image_, address, std::span(staged_.data() + address, static_cast<std::size_t>(kept)));
    tally_.Drop(address + kept, count - kept);
}

std::expected<void, ProgramError> ElfLoader::WriteSections()
{
    const int word = is64_ ? 8 : 4;
    for (unsigned i = 0; i < sectionCount_; ++i) {
        const std::size_t at = std::size_t{i} * sectionEntrySize_;
        const std::uint64_t type = Field(sectionTable_, at + 4, 4);
        const std::uint64_t flags = Field(sectionTable_, at + 8, word);
        const std::uint64_t offset = Field(sectionTable_, at + (is64_ ? 24 : 16), word);
        const std::uint64_t size = Field(sectionTable_, at + (is64_ ? 32 : 20), word);
        if (type == NullSection || type == NoBitsSection || !(flags & AllocatedFlag) || size == 0)
            continue;
        // The segment that holds the section's bytes gives its load address.
        const auto holder = std::find_if(segments_.begin(), segments_.end(), [&](const Segment &segment) {
            return offset >= segment.offset && size <= segment.size && offset - segment.offset <= segment.size - size;
        });
        if (holder == segments_.end())
            return Fail(Phrase("section %u has bytes in the file (0x%llX bytes at 0x%llX) that no loadable segment holds, "
                               "so it has no load address", i, Ull(size), Ull(offset)));
        WritePiece(*holder, offset, offset + size);
        ++sectionsWritten_;
    }
    if (sectionsWritten_ == 0)
        return Fail("it has no allocated section with bytes in the file");
    return {};
}

std::expected<void, ProgramError> ElfLoader::WriteSegmentsLessHeaders()
{
    using Range = std::pair<std::uint64_t, std::uint64_t>;  // file offsets [first, second)
    const Range headers[] = {{0, is64_ ? 64 : 52}, {tableOffset_, tableEnd_}};
    bool wrote = false;
    for (const Segment &segment : segments_) {
        // What is left of the segment once the headers' ranges are taken out.
        std::vector<Range> left = {{segment.offset, segment.offset + segment.size}};
        for (const auto &[cutFrom, cutTo] : headers) {
            std::vector<Range> rest;
            for (const auto &[from, to] : left) {
                if (from < cutFrom)
                    rest.emplace_back(from, std::min(to, cutFrom));
                if (cutTo < to)
                    rest.emplace_back(std::max(from, cutTo), to);
            }
            left = std::move(rest);
        }
        for (const auto &[from, to] : left) {
            WritePiece(segment, from, to);
            wrote = true;
        }
    }
    if (!wrote)
        return Fail("it has no section headers, and its loadable segments hold nothing but its own headers");
    return {};
}

std::expected<void, ProgramError> ElfLoader::Feed(const char *data, std::size_t size)
{
    if (fault_)
        return std::unexpected(*fault_);
    // Until the program header table has gone by, the bytes are kept. A
    // phase whose bytes are all here is read at once, also when this chunk
    // is used up (a table inside the ELF header needs no byte more).
    while (phase_ != Phase::Body) {
        const std::uint64_t need = phase_ == Phase::Header ? (head_.size() < IdentSize ? IdentSize : is64_ ? 64 : 52) : tableEnd_;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, need - std::min<std::uint64_t>(need, head_.size())));
        head_.insert(head_.end(), data, data + take);
        consumed_ += take;
        data += take;
        size -= take;
        if (head_.size() < need)
            return {};
        std::expected<void, ProgramError> read;
        if (phase_ == Phase::Header && need == IdentSize)
            read = ReadIdent();
        else if (phase_ == Phase::Header)
            read = ReadHeader();
        else
            read = ReadTable();
        if (!read)
            return read;
    }
    if (size > 0) {
        TakeSpan(data, consumed_, size);
        consumed_ += size;
    }
    return {};
}

std::expected<void, ProgramError> ElfLoader::Finish()
{
    if (fault_)
        return std::unexpected(*fault_);
    switch (phase_) {
    case Phase::Header:
        return Fail(Phrase("it is cut short: it ends at byte 0x%llX, inside its ELF header", Ull(consumed_)));
    case Phase::Table:
        return Fail(Phrase("it is cut short: it ends at byte 0x%llX, inside its program header table (bytes 0x%llX-0x%llX)",
                           Ull(consumed_), Ull(tableOffset_), Ull(tableEnd_ - 1)));
    case Phase::Body: break;
    }
    for (const Segment &segment : segments_) {
        if (segment.offset + segment.size > consumed_)
            return Fail(Phrase("it is cut short: it ends at byte 0x%llX, inside segment %d (bytes 0x%llX-0x%llX)",
                               Ull(consumed_), segment.number, Ull(segment.offset), Ull(segment.offset + segment.size - 1)));
    }
    if (sectionCount_ > 0 && sectionEnd_ > consumed_)
        return Fail(Phrase("it is cut short: it ends at byte 0x%llX, inside its section header table (bytes 0x%llX-0x%llX)",
                           Ull(consumed_), Ull(sectionOffset_), Ull(sectionEnd_ - 1)));
    return sectionCount_ > 0 ? WriteSections() : WriteSegmentsLessHeaders();
}

}  // namespace qw735
