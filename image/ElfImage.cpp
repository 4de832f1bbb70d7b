// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ElfImage.h"

#include "image/LoadTally.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>

namespace qw735 {

namespace {

constexpr std::size_t IdentSize = 16;
constexpr std::uint32_t LoadableSegment = 1;  // PT_LOAD
constexpr unsigned RelocatableType = 1;       // ET_REL: an object file, not linked
constexpr unsigned ExtendedNumbering = 0xFFFF; // PN_XNUM: the count lives elsewhere

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

ElfLoader::ElfLoader(SRecordImage &image, LoadTally &tally) : image_(image), tally_(tally) {}

std::string ElfLoader::Describe() const
{
    return std::string(is64_ ? "64-bit" : "32-bit") + (bigEndian_ ? ", big-endian" : ", little-endian");
}

std::expected<void, std::string> ElfLoader::Fail(std::string why)
{
    fault_ = std::move(why);
    return std::unexpected(fault_);
}

std::uint64_t ElfLoader::Field(std::size_t at, int bytes) const
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        const auto byte = static_cast<std::uint8_t>(head_[at + static_cast<std::size_t>(bigEndian_ ? i : bytes - 1 - i)]);
        value = value << 8 | byte;
    }
    return value;
}

std::expected<void, std::string> ElfLoader::ReadIdent()
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

std::expected<void, std::string> ElfLoader::ReadHeader()
{
    type_ = static_cast<unsigned>(Field(16, 2));
    tableOffset_ = Field(is64_ ? 32 : 28, is64_ ? 8 : 4);
    entrySize_ = static_cast<unsigned>(Field(is64_ ? 54 : 42, 2));
    entries_ = static_cast<unsigned>(Field(is64_ ? 56 : 44, 2));
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
    phase_ = Phase::Table;
    return {};
}

std::expected<void, std::string> ElfLoader::ReadTable()
{
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    for (unsigned i = 0; i < entries_; ++i) {
        const std::size_t at = static_cast<std::size_t>(tableOffset_) + std::size_t{i} * entrySize_;
        if (Field(at, 4) != LoadableSegment)
            continue;
        const int number = static_cast<int>(i) + 1;
        Segment segment{};
        std::uint64_t memorySize = 0;
        if (is64_) {
            segment = {Field(at + 8, 8), Field(at + 24, 8), Field(at + 32, 8), number};
            memorySize = Field(at + 40, 8);
        } else {
            segment = {Field(at + 4, 4), Field(at + 12, 4), Field(at + 16, 4), number};
            memorySize = Field(at + 20, 4);
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
    phase_ = Phase::Segments;
    StoreSpan(head_.data(), 0, head_.size());
    head_.clear();
    head_.shrink_to_fit();
    return {};
}

// The bytes at file offsets [from, from + size) that belong to a segment.
void ElfLoader::StoreSpan(const char *data, std::uint64_t from, std::uint64_t size)
{
    const std::uint64_t to = from + size;
    for (const Segment &segment : segments_) {
        const std::uint64_t first = std::max(from, segment.offset);
        const std::uint64_t last = std::min(to, segment.offset + segment.size);
        if (first >= last)
            continue;
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(data + (first - from));
        tally_.Store(image_, segment.address + (first - segment.offset), std::span(bytes, static_cast<std::size_t>(last - first)));
    }
}

std::expected<void, std::string> ElfLoader::Feed(const char *data, std::size_t size)
{
    if (!fault_.empty())
        return std::unexpected(fault_);
    // Until the program header table has gone by, the bytes are kept. A
    // phase whose bytes are all here is read at once, also when this chunk
    // is used up (a table inside the ELF header needs no byte more).
    while (phase_ != Phase::Segments) {
        const std::uint64_t need = phase_ == Phase::Header ? (head_.size() < IdentSize ? IdentSize : is64_ ? 64 : 52) : tableEnd_;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, need - std::min<std::uint64_t>(need, head_.size())));
        head_.insert(head_.end(), data, data + take);
        consumed_ += take;
        data += take;
        size -= take;
        if (head_.size() < need)
            return {};
        std::expected<void, std::string> read;
        if (phase_ == Phase::Header && need == IdentSize)
            read = ReadIdent();
        else if (phase_ == Phase::Header)
            read = ReadHeader();
        else
            read = ReadTable();
        if (!read)
            return read;
    }
    if (phase_ == Phase::Segments && size > 0) {
        StoreSpan(data, consumed_, size);
        consumed_ += size;
    }
    return {};
}

std::expected<void, std::string> ElfLoader::Finish()
{
    if (!fault_.empty())
        return std::unexpected(fault_);
    switch (phase_) {
    case Phase::Header:
        return Fail(Phrase("it is cut short: it ends at byte 0x%llX, inside its ELF header", Ull(consumed_)));
    case Phase::Table:
        return Fail(Phrase("it is cut short: it ends at byte 0x%llX, inside its program header table (bytes 0x%llX-0x%llX)",
                           Ull(consumed_), Ull(tableOffset_), Ull(tableEnd_ - 1)));
    case Phase::Segments: break;
    }
    for (const Segment &segment : segments_) {
        if (segment.offset + segment.size > consumed_)
            return Fail(Phrase("it is cut short: it ends at byte 0x%llX, inside segment %d (bytes 0x%llX-0x%llX)",
                               Ull(consumed_), segment.number, Ull(segment.offset), Ull(segment.offset + segment.size - 1)));
    }
    return {};
}

}  // namespace qw735
