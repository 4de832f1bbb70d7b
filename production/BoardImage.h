// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/ProgramImage.h"
#include "numbering/SerialField.h"

#include <QByteArray>
#include <cstdint>
#include <expected>
#include <string>

namespace qw735 {

// One board's image: a copy of the program's with the board's number in
// it, and what that board's record says of the copy. A copy is 256 KiB and
// made as the board's write begins, on the board's thread: a gang of 32
// holds 8 MiB, and a copy with its checksum and SHA-256 costs well under a
// millisecond beside a write of seconds.
struct BoardImage {
    ProgramImage image;
    std::string serial;             // the value as the image holds it (SerialText)
    std::int32_t transferSize = 0;  // of this image: the field may raise it
    std::uint8_t checksum = 0;      // of this image
    QByteArray imageSha256;         // of this image, as ImageSha256 gives it
};

// Copies `program` and writes `value` into the copy at the field (checked
// with CheckSerialField beforehand). Kind DoesNotFit for a value outside
// the format's range, OutsideDataArea for a field past the data area.
[[nodiscard]] std::expected<BoardImage, SerialError> MakeBoardImage(const ProgramImage &program, const SerialField &field, std::uint64_t value);

}  // namespace qw735
