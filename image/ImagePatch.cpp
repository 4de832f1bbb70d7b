// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ImagePatch.h"

#include "image/ProgramImage.h"

#include <algorithm>

namespace qw735 {

std::optional<AddressRange> FieldRange(std::uint64_t address, std::uint64_t size)
{
    if (size == 0 || address > UINT64_MAX - (size - 1))
        return std::nullopt;
    return AddressRange{address, address + size - 1};
}

bool InsideDataArea(AddressRange field)
{
    return field.first <= field.last && field.last < static_cast<std::uint64_t>(DataAreaSize);
}

std::optional<AddressRange> LoadedOverlap(std::span<const AddressRange> loaded, AddressRange field)
{
    const auto overlap = std::ranges::find_if(loaded, [&](const AddressRange &range) {
        return range.first <= field.last && field.first <= range.last;
    });
    return overlap == loaded.end() ? std::nullopt : std::optional(*overlap);
}

bool PatchImage(ProgramImage &image, std::uint64_t address, std::span<const std::uint8_t> bytes)
{
    const auto field = FieldRange(address, bytes.size());
    if (!field || !InsideDataArea(*field) || image.ImageBuffer.size() != ImageSize)
        return false;
    std::ranges::copy(bytes, image.ImageBuffer.begin() + static_cast<std::ptrdiff_t>(address));
    image.MaxAddress = std::max(image.MaxAddress, static_cast<std::int32_t>(field->last));
    return true;
}

}  // namespace qw735
