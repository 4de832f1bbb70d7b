// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/BoardImage.h"

#include "image/ImagePatch.h"
#include "production/ProductionRecord.h"
#include "writer/SendImage.h"

namespace qw735 {

std::expected<BoardImage, SerialError> MakeBoardImage(const ProgramImage &program, const SerialField &field, std::uint64_t value)
{
    const auto bytes = EncodeSerial(value, field.format);
    if (!bytes)
        return std::unexpected(bytes.error());
    // Over data or not was the run's to decide; the area is checked again,
    // since a field outside it would be written nowhere.
    const SerialField anywhere{field.address, field.format, true};
    if (const auto inside = CheckSerialField(anywhere, {}); !inside)
        return std::unexpected(inside.error());
    BoardImage board{program, SerialText(value, field.format), 0, 0, {}};
    [[maybe_unused]] const bool patched = PatchImage(board.image, field.address, *bytes);
    board.transferSize = TransferSize(board.image.MaxAddress);
    board.checksum = ImageChecksum(board.image);
    board.imageSha256 = ImageSha256(board.image);
    return board;
}

}  // namespace qw735
