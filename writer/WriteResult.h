// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "image/ProgramError.h"
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
    ProgramFailed,    // the program file cannot be read or has a bad record
    PortLost,         // the port failed while open (adapter unplugged)
    Abandoned,        // the user closed the program mid-write; no message
};

struct [[nodiscard]] WriteResult {
    WriteOutcome outcome;
    QString message;  // empty only when abandoned
    // ProgramFailed: what is wrong with the file, by kind, for a front end
    // that has advice to give on it.
    std::optional<ProgramError> programError = std::nullopt;
    // Of a write that ended on its port (PortLost): what went wrong there.
    std::optional<PortError::Kind> portErrorKind = std::nullopt;
};

}  // namespace qw735
