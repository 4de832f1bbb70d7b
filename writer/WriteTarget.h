// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/BootHandshake.h"
#include "writer/WriteInput.h"
#include "writer/WriteOptions.h"
#include "writer/WriteResult.h"

#include <expected>
#include <functional>

namespace qw735 {

class Link;
class StepTracker;

// The conversation of one write with its board over `link` (port open at
// 9600 baud, input discarded): the handshake, the loader transfer and the
// image transfer. The result is returned, not shown. `steps` takes the
// progress and tells afterwards where the write stopped and the round trip
// the handshake measured. The port is left open, at 9600 baud if the write
// ended before the image transfer, 38400 otherwise. A write on a board is
// run by BoardRun, which opens and closes the port around this.
WriteResult WriteTarget(Link &link, const WriteInput &input, StepTracker &steps, const WriteOptions &options = {});
// Where the image comes from when it is not ready as the write begins: a
// board's own image is made while the handshake and the loader go, and the
// image transfer waits for it. The error ends the write before the image.
using LateImage = std::function<std::expected<const WriteInput *, WriteResult>()>;

// The same once the handshake has ended as `handshake` says: a caller that
// puts the board into boot mode and tries the handshake again runs the
// handshake itself. The loader is `input`'s; the image is `input`'s too, or
// what `lateImage` gives once the loader is running.
WriteResult WriteAfterHandshake(Link &link, const WriteInput &input, StepTracker &steps, const WriteOptions &options,
                                const HandshakeResult &handshake, const LateImage &lateImage = {});

}  // namespace qw735
