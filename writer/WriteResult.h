// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/PortError.h"

#include <QString>
#include <optional>

namespace qw735 {

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
    LoaderIsProgram,  // the loader named is the program file itself
    SRecordFailed,    // the S-record file cannot be read or has a bad record
    PortLost,         // the port failed while open (adapter unplugged)
    Abandoned,        // the user closed the program mid-write; no message
};

// What a user can do about a file that was refused, beyond its message:
// the command line says it (the window has neither choice).
enum class InputAdvice {
    None,
    GiveBinaryAddress,  // not a format read by content: a raw binary needs its address
    IgnoreChecksums,    // a wrong checksum: a hand-patched file can be written as it stands
};

struct [[nodiscard]] WriteResult {
    WriteOutcome outcome;
    QString message;  // empty only when abandoned
    InputAdvice advice = InputAdvice::None;
    // Of a write that ended on its port (PortLost): what went wrong there.
    std::optional<PortError::Kind> portErrorKind = std::nullopt;
};

}  // namespace qw735
