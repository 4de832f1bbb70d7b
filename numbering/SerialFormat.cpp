// SPDX-License-Identifier: GPL-2.0-or-later
#include "numbering/SerialFormat.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace qw735 {

namespace {

struct NamedFormat {
    std::string_view name;
    SerialFormat format;
};

constexpr std::array<NamedFormat, 7> IntegerFormats{{
    {"u8", {SerialFormat::Layout::LittleEndian, 1}},
    {"u16le", {SerialFormat::Layout::LittleEndian, 2}},
    {"u16be", {SerialFormat::Layout::BigEndian, 2}},
    {"u32le", {SerialFormat::Layout::LittleEndian, 4}},
    {"u32be", {SerialFormat::Layout::BigEndian, 4}},
    {"u64le", {SerialFormat::Layout::LittleEndian, 8}},
    {"u64be", {SerialFormat::Layout::BigEndian, 8}},
}};

constexpr std::string_view AsciiPrefix = "ascii:";
// Twenty digits hold any 64-bit value; more would only add zeros.
constexpr int MostDigits = 20;

std::string Quoted(std::string_view text)
{
    return "'" + QuotedText(text) + "'";
}

// Digits only: no sign, no blanks, no 0x.
std::optional<std::uint64_t> Digits(std::string_view text, int base)
{
    std::uint64_t value = 0;
    const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || fault != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

}  // namespace

std::string SerialFormat::Text() const
{
    if (layout == Layout::Ascii)
        return std::string(AsciiPrefix) + std::to_string(size);
    for (const NamedFormat &named : IntegerFormats)
        if (named.format == *this)
            return std::string(named.name);
    return "u?";
}

std::uint64_t SerialFormat::Largest() const
{
    if (layout == Layout::Ascii) {
        std::uint64_t largest = 0;
        for (int digit = 0; digit < size; ++digit) {
            if (largest > (UINT64_MAX - 9) / 10)
                return UINT64_MAX;
            largest = largest * 10 + 9;
        }
        return largest;
    }
    return size >= 8 ? UINT64_MAX : (std::uint64_t{1} << (8 * size)) - 1;
}

std::expected<SerialFormat, SerialError> ParseSerialFormat(std::string_view text)
{
    for (const NamedFormat &named : IntegerFormats)
        if (text == named.name)
            return named.format;
    if (text.starts_with(AsciiPrefix)) {
        const std::string_view count = text.substr(AsciiPrefix.size());
        const auto digits = Digits(count, 10);
        if (!digits || *digits < 1 || *digits > MostDigits)
            return std::unexpected(SerialError{SerialError::Kind::BadFormat,
                                               "the serial format ascii:N takes N digits from 1 to 20, not " + Quoted(count)});
        return SerialFormat{SerialFormat::Layout::Ascii, static_cast<int>(*digits)};
    }
    return std::unexpected(SerialError{SerialError::Kind::BadFormat,
                                       "unknown serial format " + Quoted(text) +
                                           ": the formats are u8, u16le, u16be, u32le, u32be, u64le, u64be and ascii:N"});
}

std::expected<std::vector<std::uint8_t>, SerialError> EncodeSerial(std::uint64_t value, const SerialFormat &format)
{
    if (value > format.Largest())
        return std::unexpected(SerialError{SerialError::Kind::DoesNotFit, "the serial number " + std::to_string(value) + " does not fit " +
                                                                              format.Text() + " (0 to " + std::to_string(format.Largest()) + ")"});
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(format.size));
    switch (format.layout) {
    case SerialFormat::Layout::Ascii: {
        const std::string digits = SerialText(value, format);
        bytes.assign(digits.begin(), digits.end());
        break;
    }
    case SerialFormat::Layout::LittleEndian:
        for (std::size_t at = 0; at < bytes.size(); ++at)
            bytes[at] = static_cast<std::uint8_t>(value >> (8 * at));
        break;
    case SerialFormat::Layout::BigEndian:
        for (std::size_t at = 0; at < bytes.size(); ++at)
            bytes[bytes.size() - 1 - at] = static_cast<std::uint8_t>(value >> (8 * at));
        break;
    }
    return bytes;
}

std::string SerialText(std::uint64_t value, const SerialFormat &format)
{
    std::string digits = std::to_string(value);
    if (format.layout == SerialFormat::Layout::Ascii && digits.size() < static_cast<std::size_t>(format.size))
        digits.insert(0, static_cast<std::size_t>(format.size) - digits.size(), '0');
    return digits;
}

std::optional<std::uint64_t> ParseSerialValue(std::string_view text)
{
    constexpr std::string_view Blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(Blanks);
    if (first == std::string_view::npos)
        return std::nullopt;
    text = text.substr(first, text.find_last_not_of(Blanks) - first + 1);
    if (text.starts_with("0x") || text.starts_with("0X"))
        return Digits(text.substr(2), 16);
    return Digits(text, 10);
}

std::string QuotedText(std::string_view text)
{
    std::string quoted;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            quoted += c;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        quoted += escaped;
    }
    return quoted;
}

}  // namespace qw735
