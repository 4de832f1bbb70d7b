// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/Utf16Text.h"

#include <algorithm>

namespace qw735 {

namespace {

void AppendUtf8(std::string &out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool IsPlainText(char c)
{
    return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t';
}

}  // namespace

std::expected<void, std::uint16_t> Utf16Decoder::Decode(const char *data, std::size_t size, std::string &out)
{
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<std::uint8_t>(data[i]);
        if (oddByte_ < 0) {
            oddByte_ = byte;
            continue;
        }
        const auto first = static_cast<std::uint16_t>(oddByte_);
        const std::uint16_t unit = bigEndian_ ? static_cast<std::uint16_t>(first << 8 | byte) : static_cast<std::uint16_t>(byte << 8 | first);
        oddByte_ = -1;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (highSurrogate_ && low) {
            AppendUtf8(out, 0x10000 + ((highSurrogate_ - 0xD800u) << 10) + (unit - 0xDC00u));
            highSurrogate_ = 0;
        } else if (highSurrogate_ || low) {
            return std::unexpected(highSurrogate_ ? highSurrogate_ : unit);
        } else if (unit >= 0xD800 && unit <= 0xDBFF) {
            highSurrogate_ = unit;
        } else {
            AppendUtf8(out, unit);
        }
    }
    return {};
}

std::optional<ProgramError::Utf16Text> Utf16WithoutMark(std::string_view start)
{
    const std::size_t units = std::min(start.size(), Utf16StartBytes) / 2;
    if (units < 2)
        return std::nullopt;
    bool little = true, big = true;
    for (std::size_t unit = 0; unit < units; ++unit) {
        const char first = start[2 * unit], second = start[2 * unit + 1];
        little = little && IsPlainText(first) && second == 0;
        big = big && first == 0 && IsPlainText(second);
    }
    if (!little && !big)
        return std::nullopt;
    const char character = start[little ? 0 : 1];
    const std::optional<ProgramFormat> looksLike = character == 'S' || character == 's' ? std::optional(ProgramFormat::SRecord)
                                                   : character == ':'                   ? std::optional(ProgramFormat::IntelHex)
                                                                                        : std::nullopt;
    return ProgramError::Utf16Text{!little, looksLike};
}

}  // namespace qw735
