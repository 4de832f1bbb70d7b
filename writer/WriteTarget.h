// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

namespace qw735 {

class FileSystem;
class Link;
class MessageBox;
class ProgressDisplay;

// How a write ended. The first seven have the fixed messages of
// writer/Messages.h; the others carry a message of their own.
enum class WriteOutcome {
    Ok,
    HandshakeFailed,
    LoaderNoReply,
    LoaderWrongReply,
    LoaderMissing,
    ImageNoReply,
    ImageWrongReply,
    LoaderTooLarge,   // the size field of the boot mode holds 16 bits
    SRecordFailed,    // the S-record file cannot be read or has a bad record
    PortLost,         // the port failed while open (adapter unplugged)
    Abandoned,        // the user closed the program mid-write; no message
};

struct WriteResult {
    WriteOutcome outcome;
    QString message;  // empty only when abandoned
};

// Everything one write needs from its caller.
struct WriteRequest {
    Link &link;                    // port open at 9600 baud, input discarded
    const FileSystem &fileSystem;  // finds the loader
    ProgressDisplay &progress;
    MessageBox &messageBox;
    QString sFilePath;             // the S-record file, re-read at every write
};

// One whole write: loads the S-record file (all of it is checked before the
// target hears a byte), runs the handshake, the loader transfer and the
// image transfer, and shows exactly one message in the message box, except
// when abandoned. Returns after the box is dismissed. The port is left open,
// at 9600 baud if the write ended before the image transfer, 38400 otherwise.
WriteResult WriteTarget(const WriteRequest &request);

}  // namespace qw735
