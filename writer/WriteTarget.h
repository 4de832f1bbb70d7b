// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/SendImage.h"
#include "writer/WriteInput.h"
#include "writer/WriteResult.h"

#include <QString>

namespace qw735 {

class FileSystem;
class Link;
class MessageBox;
class ProgressDisplay;
class StepTracker;

// What a caller may set of a write's timing; the window keeps the defaults.
struct WriteTiming {
    // Time the loader gets to start (see SendImage).
    int loaderStartMs = DefaultLoaderStartMs;
    // How long the handshake keeps synchronising when the board does not
    // answer, if longer than the designed 51 attempts (see BootHandshake):
    // time to put the board in boot mode after starting the write.
    int waitForBoardMs = 0;
};

// Everything one write needs from its caller.
struct WriteRequest {
    Link &link;                    // port open at 9600 baud, input discarded
    const FileSystem &fileSystem;  // finds the loader
    ProgressDisplay &progress;
    MessageBox &messageBox;
    QString programFile;           // the window's chosen file, re-read at every write
};

// One whole write: reads its input (ReadWriteInput), runs the handshake, the
// loader transfer and the image transfer, and shows exactly one message in
// the message box, except when abandoned. Returns after the box is
// dismissed. The port is left open, at 9600 baud if the write ended before
// the image transfer, 38400 otherwise.
WriteResult WriteTarget(const WriteRequest &request);

// The same with the input already read, for callers that read the files
// before they open any port; the result is returned, not shown. `steps`
// takes the progress and tells afterwards where the write stopped and the
// round trip the handshake measured.
WriteResult WriteTarget(Link &link, const WriteInput &input, StepTracker &steps, const WriteTiming &timing = {});

}  // namespace qw735
