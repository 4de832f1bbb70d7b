// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/WriteInput.h"
#include "writer/WriteOptions.h"
#include "writer/WriteResult.h"

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

}  // namespace qw735
