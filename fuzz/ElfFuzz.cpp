// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target for the ELF reader.
//
// Each input is loaded by the streaming reader fed whole and fed in chunks
// split at points taken from the input; both must agree. A plain reader
// here, which has the whole input at hand and seeks, must accept exactly
// the same files and build exactly the same image: the bytes of the
// allocated sections at their load addresses, or, without section headers,
// the segments less the headers, byte by byte. Inputs that do not start
// with the ELF magic number get it put in front, so that the fuzzer spends
// its time past the first four bytes.

#include "fuzz/FuzzCheck.h"
#include "image/ElfImage.h"
#include "image/LoadTally.h"
#include "image/ProgramImage.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace qw735;

namespace {

void Check(bool condition, const char *what)
{
    fuzz::Check(condition, "ElfFuzz", what);
}

struct Outcome {
    bool ok = true;
    std::string detail;
    std::uint64_t dropped = 0;  // bytes for addresses past the data area
    long sections = 0;          // written
};

Outcome Load(ProgramImage &image, const std::string &file, std::size_t first, std::size_t second)
{
    image.Clear();
    LoadTally tally;
    ElfLoader loader(image, tally);
    auto loaded = loader.Feed(file.data(), first);
    if (loaded)
        loaded = loader.Feed(file.data() + first, second - first);
    if (loaded)
        loaded = loader.Feed(file.data() + second, file.size() - second);
    if (loaded)
        loaded = loader.Finish();
    return {loaded.has_value(), loaded ? std::string() : loaded.error().detail, tally.DroppedBytes(), loader.SectionsWritten()};
}

// The reference: the whole file at hand, fields read where they are.
struct Reference {
    const std::string &file;
    bool big = false;
    std::uint64_t Field(std::uint64_t at, int bytes, bool &inside) const
    {
        if (at > file.size() || file.size() - at < static_cast<std::uint64_t>(bytes)) {
            inside = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value = value << 8 | static_cast<std::uint8_t>(file[at + static_cast<std::uint64_t>(big ? i : bytes - 1 - i)]);
        return value;
    }

    // Stores the file's byte at `offset` for `address`, or counts it dropped.
    void Put(ProgramImage &image, std::uint64_t address, std::uint64_t offset, std::uint64_t &dropped) const
    {
        if (address >= static_cast<std::uint64_t>(DataAreaSize)) {
            ++dropped;
            return;
        }
        image.ImageBuffer[address] = static_cast<std::uint8_t>(file[offset]);
        image.MaxAddress = std::max<std::int32_t>(image.MaxAddress, static_cast<std::int32_t>(address));
    }

    // Whether the file is accepted, and if so its image, the bytes dropped
    // and the sections written.
    bool Read(ProgramImage &image, std::uint64_t &dropped, long &sections) const
    {
        image.Clear();
        dropped = 0;
        sections = 0;
        if (file.size() < 16 || file.compare(0, 4, "\x7F" "ELF") != 0)
            return false;
        const int cls = static_cast<std::uint8_t>(file[4]), data = static_cast<std::uint8_t>(file[5]);
        if ((cls != 1 && cls != 2) || (data != 1 && data != 2) || file[6] != 1)
            return false;
        const bool is64 = cls == 2;
        if (file.size() < (is64 ? 64u : 52u))
            return false;
        bool inside = true;
        const std::uint64_t phoff = Field(is64 ? 32 : 28, is64 ? 8 : 4, inside);
        const std::uint64_t entSize = Field(is64 ? 54 : 42, 2, inside);
        const std::uint64_t entries = Field(is64 ? 56 : 44, 2, inside);
        if (entries == 0 || phoff == 0 || entries == 0xFFFF || entSize != (is64 ? 56u : 32u))
            return false;
        const std::uint64_t tableEnd = phoff + entries * entSize;
        if (phoff > ElfTableLimit || tableEnd > ElfTableLimit || tableEnd > file.size())
            return false;
        const std::uint64_t shoff = Field(is64 ? 40 : 32, is64 ? 8 : 4, inside);
        const std::uint64_t shentSize = Field(is64 ? 58 : 46, 2, inside);
        const std::uint64_t shnum = shoff ? Field(is64 ? 60 : 48, 2, inside) : 0;
        if (shoff && (shnum == 0 || shentSize != (is64 ? 64u : 40u) || shoff + shnum * shentSize < shoff))
            return false;
        struct Segment { std::uint64_t offset, address, size; };
        std::vector<Segment> segments;
        for (std::uint64_t i = 0; i < entries; ++i) {
            const std::uint64_t at = phoff + i * entSize;
            if (Field(at, 4, inside) != 1)
                continue;
            const Segment s = is64 ? Segment{Field(at + 8, 8, inside), Field(at + 24, 8, inside), Field(at + 32, 8, inside)}
                                   : Segment{Field(at + 4, 4, inside), Field(at + 12, 4, inside), Field(at + 16, 4, inside)};
            const std::uint64_t memory = is64 ? Field(at + 40, 8, inside) : Field(at + 20, 4, inside);
            if (s.size > memory)
                return false;
            if (s.size == 0)
                continue;
            if (s.offset + s.size < s.offset || s.address + (s.size - 1) < s.address)
                return false;
            segments.push_back(s);
        }
        if (segments.empty())
            return false;
        for (std::size_t i = 0; i < segments.size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (segments[i].address <= segments[j].address + (segments[j].size - 1)
                    && segments[j].address <= segments[i].address + (segments[i].size - 1))
                    return false;
        for (const Segment &s : segments) {
            if (s.offset + s.size > file.size())
                return false;
        }
        if (shoff + shnum * shentSize > file.size())
            return false;
        if (shnum == 0) {
            // The segments, byte by byte, but for the ELF header and the
            // program header table.
            bool wrote = false;
            for (const Segment &s : segments) {
                for (std::uint64_t k = 0; k < s.size; ++k) {
                    const std::uint64_t offset = s.offset + k;
                    if (offset < (is64 ? 64u : 52u) || (offset >= phoff && offset < tableEnd))
                        continue;
                    Put(image, s.address + k, offset, dropped);
                    wrote = true;
                }
            }
            return wrote;
        }
        const int word = is64 ? 8 : 4;
        for (std::uint64_t i = 0; i < shnum; ++i) {
            const std::uint64_t at = shoff + i * shentSize;
            const std::uint64_t type = Field(at + 4, 4, inside), flags = Field(at + 8, word, inside);
            const std::uint64_t offset = Field(at + (is64 ? 24 : 16), word, inside), size = Field(at + (is64 ? 32 : 20), word, inside);
            if (type == 0 || type == 8 || !(flags & 2) || size == 0)
                continue;
            const Segment *holder = nullptr;
            for (const Segment &s : segments) {
                if (!holder && offset >= s.offset && offset + size >= offset && offset + size <= s.offset + s.size)
                    holder = &s;
            }
            if (!holder)
                return false;
            for (std::uint64_t k = 0; k < size; ++k)
                Put(image, holder->address + (offset - holder->offset) + k, offset + k, dropped);
            ++sections;
        }
        return sections > 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static ProgramImage whole, split, reference;
    std::string file(reinterpret_cast<const char *>(data), size);
    if (file.compare(0, 4, "\x7F" "ELF") != 0)
        file.insert(0, "\x7F" "ELF");

    const Outcome a = Load(whole, file, file.size(), file.size());
    const std::size_t first = (static_cast<std::size_t>(data[size ? size - 1 : 0 ]) * 131) % (file.size() + 1);
    const std::size_t second = first + (static_cast<std::size_t>(size ? data[size / 2] : 0) * 977) % (file.size() - first + 1);
    const Outcome b = Load(split, file, first, second);
    Check(a.ok == b.ok && a.detail == b.detail, "whole and split loads differ");
    Check(a.detail.empty() == a.ok, "a refusal without a reason");
    if (a.ok)
        Check(whole.ImageBuffer == split.ImageBuffer && whole.MaxAddress == split.MaxAddress, "whole and split images differ");

    std::uint64_t dropped = 0;
    long sections = 0;
    const bool accepted = Reference{file, file.size() > 5 && file[5] == 2}.Read(reference, dropped, sections);
    Check(accepted == a.ok, a.ok ? "accepted what the reference refuses" : "refused what the reference accepts");
    if (a.ok) {
        Check(reference.ImageBuffer == whole.ImageBuffer, "the image differs from the reference's");
        Check(reference.MaxAddress == whole.MaxAddress, "MaxAddress differs from the reference's");
        Check(dropped == a.dropped && sections == a.sections, "the bytes dropped or the sections differ from the reference's");
    }
    fuzz::CheckDataAreaOnly(whole, "ElfFuzz");
    return 0;
}
