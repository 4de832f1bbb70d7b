// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/LoadTally.h"

#include "image/ProgramImage.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

namespace qw735 {

namespace {

constexpr std::size_t AreaWords = static_cast<std::size_t>(DataAreaSize) / 64;

// How many of `size` bytes from `address` lie below the data area's end.
std::size_t StoredCount(std::uint64_t address, std::size_t size)
{
    const auto area = static_cast<std::uint64_t>(DataAreaSize);
    return address < area ? static_cast<std::size_t>(std::min<std::uint64_t>(area - address, size)) : 0;
}

void RaiseMaxAddress(ProgramImage &image, std::uint64_t address, std::size_t stored)
{
    if (stored)
        image.MaxAddress = std::max(image.MaxAddress, static_cast<std::int32_t>(address + stored - 1));
}

}  // namespace

LoadTally::LoadTally() : written_(AreaWords, 0) {}

void LoadTally::Store(ProgramImage &image, std::uint64_t address, std::span<const std::uint8_t> bytes)
{
    // The buffer is a public member; whatever a caller did to it, the
    // stores stay inside it.
    if (image.ImageBuffer.size() != ImageSize)
        image.ImageBuffer.resize(ImageSize, 0xFF);
    const std::size_t stored = StoredCount(address, bytes.size());
    std::uint8_t *target = image.ImageBuffer.data();
    for (std::size_t k = 0; k < stored; ++k) {
        const std::uint64_t at = address + k;
        std::uint64_t &word = written_[at >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (at & 63);
        if (word & bit)
            overwritten_ += target[at] != bytes[k];
        word |= bit;
        target[at] = bytes[k];
    }
    RaiseMaxAddress(image, address, stored);
    if (stored < bytes.size())
        Drop(address + stored, bytes.size() - stored);
}

void LoadTally::Drop(std::uint64_t address, std::uint64_t count)
{
    if (count == 0)
        return;
    droppedBytes_ += count;
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    AddressRange range{address, count - 1 > top - address ? top : address + (count - 1)};
    // Merge with every listed range it overlaps or touches.
    auto touches = [&range](const AddressRange &r) {
        return !(r.last < range.first && range.first - r.last > 1) && !(range.last < r.first && r.first - range.last > 1);
    };
    for (auto it = dropped_.begin(); it != dropped_.end();) {
        if (touches(*it)) {
            range.first = std::min(range.first, it->first);
            range.last = std::max(range.last, it->last);
            it = dropped_.erase(it);
        } else {
            ++it;
        }
    }
    if (dropped_.size() >= ListedDroppedRanges) {
        droppedCut_ = true;
        return;
    }
    dropped_.insert(std::upper_bound(dropped_.begin(), dropped_.end(), range,
                                     [](const AddressRange &a, const AddressRange &b) { return a.first < b.first; }),
                    range);
}

void LoadTally::Note(long line, std::string text)
{
    if (notes_.size() < ListedNotes)
        notes_.push_back({line, std::move(text)});
    else
        ++notesLeftOut_;
}

std::vector<AddressRange> LoadTally::LoadedRanges() const
{
    std::vector<AddressRange> ranges;
    bool open = false;
    for (std::size_t w = 0; w < AreaWords; ++w) {
        std::uint64_t word = written_[w];
        if ((open && word == ~std::uint64_t{0}) || (!open && word == 0))
            continue;
        for (unsigned b = 0; b < 64; ++b) {
            const bool set = (word >> b) & 1;
            const std::uint64_t at = w * 64 + b;
            if (set && !open) {
                ranges.push_back({at, at});
                open = true;
            } else if (!set && open) {
                ranges.back().last = at - 1;
                open = false;
            }
        }
    }
    if (open)
        ranges.back().last = static_cast<std::uint64_t>(DataAreaSize) - 1;
    return ranges;
}

std::uint64_t LoadTally::LoadedBytes() const
{
    std::uint64_t count = 0;
    for (std::uint64_t word : written_)
        count += static_cast<std::uint64_t>(std::popcount(word));
    return count;
}

}  // namespace qw735
