// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/ProgramError.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace qw735 {

// Decodes UTF-16 text to UTF-8 as it streams by, in chunks split anywhere
// (also inside a character).
class Utf16Decoder {
public:
    explicit Utf16Decoder(bool bigEndian) : bigEndian_(bigEndian) {}

    // Appends the characters of the next bytes to `out`. Half a surrogate
    // pair is no character: the error is the unpaired half, and `out` then
    // holds the text before it.
    [[nodiscard]] std::expected<void, std::uint16_t> Decode(const char *data, std::size_t size, std::string &out);
    // Whether the text so far ends inside a character: a lone byte, or the
    // first half of a pair.
    bool CutShort() const { return oddByte_ >= 0 || highSurrogate_ != 0; }

private:
    bool bigEndian_;
    int oddByte_ = -1;                 // the first byte of a unit split between chunks
    std::uint16_t highSurrogate_ = 0;  // waiting for its low half
};

// How much of a file's start UTF16WithoutMark looks at.
inline constexpr std::size_t Utf16StartBytes = 64;

// Whether `start`, the first bytes of a file, is text in UTF-16 without a
// byte-order mark: at least two characters, every other byte zero and the
// others plain ASCII (printable, tab, CR, LF). Such a file holds no format
// read by content, but it is no binary either: converted, it may well be.
std::optional<ProgramError::Utf16Text> Utf16WithoutMark(std::string_view start);

}  // namespace qw735
