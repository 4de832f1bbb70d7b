// SPDX-License-Identifier: GPL-2.0-or-later
#include "numbering/SerialField.h"

#include "image/ImagePatch.h"
#include "image/ProgramImage.h"

#include <cstdio>
#include <string>

namespace qw735 {

namespace {

std::string Address(std::uint64_t address)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%05llX", static_cast<unsigned long long>(address));
    return text;
}

// "the serial number (u32le, 4 bytes at 0x1FF00)"
std::string Named(const SerialField &field)
{
    return "the serial number (" + field.format.Text() + ", " + std::to_string(field.format.size) +
           (field.format.size == 1 ? " byte at " : " bytes at ") + Address(field.address) + ")";
}

}  // namespace

std::expected<void, SerialError> CheckSerialField(const SerialField &field, std::span<const AddressRange> loaded)
{
    const auto range = FieldRange(field.address, static_cast<std::uint64_t>(field.format.size));
    if (!range || !InsideDataArea(*range))
        return std::unexpected(SerialError{SerialError::Kind::OutsideDataArea, Named(field) + " does not lie inside the 128 KiB data area (" +
                                                                                   Address(0) + "-" + Address(DataAreaSize - 1) + ")"});
    if (field.overData)
        return {};
    if (const auto overlap = LoadedOverlap(loaded, *range))
        return std::unexpected(SerialError{SerialError::Kind::OverData, Named(field) + " lies over the program's data at " +
                                                                            Address(overlap->first) + "-" + Address(overlap->last)});
    return {};
}

}  // namespace qw735
