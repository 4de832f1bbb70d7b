// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qw735 {

struct ProgramImage;

// Addresses first..last, both included.
struct AddressRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool operator==(const AddressRange &) const = default;
};

// Something about a file that is written all the same, for the user to
// know: "the count record says 5 data records, but 4 come before it".
struct LoadNote {
    long line = 0;     // 1-based; 0 when it is about no one line
    std::string text;
    bool operator==(const LoadNote &) const = default;
};

// What one load did with the bytes its file gave: where they went, which
// fell outside the data area, and which replaced a different byte given
// earlier. Every reader stores through it, so that the summary and the
// warnings mean the same for every format. Memory is fixed: a bit per
// address of the data area and at most ListedDroppedRanges ranges.
class LoadTally {
public:
    static constexpr std::size_t ListedDroppedRanges = 16;
    static constexpr std::size_t ListedNotes = 8;

    LoadTally();

    // Stores the bytes below the end of the data area at `address` on (the
    // image's MaxAddress follows) and counts the rest as dropped.
    void Store(ProgramImage &image, std::uint64_t address, std::span<const std::uint8_t> bytes);
    // `count` bytes given for `address` on, none of them stored.
    void Drop(std::uint64_t address, std::uint64_t count);

    // The addresses that received data, as merged ranges in ascending order.
    std::vector<AddressRange> LoadedRanges() const;
    std::uint64_t LoadedBytes() const;
    std::uint64_t DroppedBytes() const { return droppedBytes_; }
    // Merged, ascending; only the first ListedDroppedRanges distinct ones.
    const std::vector<AddressRange> &DroppedRanges() const { return dropped_; }
    bool DroppedRangesCut() const { return droppedCut_; }
    // Bytes given again for an address with a different value (the later wins).
    std::uint64_t OverwrittenBytes() const { return overwritten_; }

    // Keeps the first ListedNotes notes; the others are only counted.
    void Note(long line, std::string text);
    const std::vector<LoadNote> &Notes() const { return notes_; }
    std::uint64_t NotesLeftOut() const { return notesLeftOut_; }

    long records = 0;      // records (or segments) read
    long dataRecords = 0;  // of them, those that carried data

private:
    std::vector<std::uint64_t> written_;  // a bit per data-area address
    std::uint64_t droppedBytes_ = 0;
    std::vector<AddressRange> dropped_;
    bool droppedCut_ = false;
    std::uint64_t overwritten_ = 0;
    std::vector<LoadNote> notes_;
    std::uint64_t notesLeftOut_ = 0;
};

}  // namespace qw735
