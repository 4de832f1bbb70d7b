// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/WriteInput.h"
#include "writer/WriteResult.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <expected>

namespace qw735 {

// What a board's record says of an input that was the board's own.
struct OwnInputFacts {
    QString serial;          // the board's own number as its image holds it
    QByteArray imageSha256;  // of the image this board was sent, lower-case hex
    std::int32_t transferSize = 0;
    std::uint8_t checksum = 0;
};

// A board's own input: the run's, with what is this board's alone in it.
struct OwnInput {
    WriteInput input;
    OwnInputFacts facts;
};

// Makes each board's own input as its write begins: after its port opened,
// on a thread beside the board's conversation (so from many threads at
// once), while the handshake and the loader go; the image waits for it.
// What it gives a board is that board's for good, even when the write then
// fails (a serial number is never given twice). The error ends the board's
// write before the image.
class OwnInputMaker {
public:
    virtual ~OwnInputMaker() = default;
    // `run`: the input the run read. A wait for another program ends as
    // soon as `giveUp` is set.
    [[nodiscard]] virtual std::expected<OwnInput, WriteResult> Make(const WriteInput &run, const std::atomic<bool> &giveUp) const = 0;
};

}  // namespace qw735
