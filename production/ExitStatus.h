// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/WriteResult.h"

#include <utility>

namespace qw735 {

// How a write ends as a number: qw735-write's exit statuses, one per way a
// write can end, and each record's exit_status, whichever program wrote the
// board. Scripts and the production record rely on them; the README lists
// them. A signal that ends the writer ends it by that signal (128 + its
// number in a shell).
enum ExitStatus {
    ExitOk = 0,
    ExitHandshakeFailed = 1,
    ExitLoaderNoReply = 2,
    ExitLoaderWrongReply = 3,
    ExitLoaderUnusable = 4,  // missing, empty, too large, or the program file itself
    ExitImageNoReply = 5,
    ExitImageWrongReply = 6,
    ExitProgramFailed = 7,
    ExitPortFailed = 8,      // cannot be opened, or lost mid-write
    ExitOutputLost = 9,      // every board O.K., but a record or trace lines were lost
    ExitNumberFailed = 10,   // the board's own number could not be taken; the board heard no byte
    ExitUsage = 64,
    ExitInternal = 70,       // the writer itself failed
    ExitTryAgain = 75,       // --init-database, --send-records: the database cannot be reached now
};

constexpr int ExitStatusOf(WriteOutcome outcome)
{
    switch (outcome) {
    case WriteOutcome::Ok: return ExitOk;
    case WriteOutcome::HandshakeFailed: return ExitHandshakeFailed;
    case WriteOutcome::LoaderNoReply: return ExitLoaderNoReply;
    case WriteOutcome::LoaderWrongReply: return ExitLoaderWrongReply;
    case WriteOutcome::LoaderMissing:
    case WriteOutcome::LoaderTooLarge:
    case WriteOutcome::LoaderIsProgram: return ExitLoaderUnusable;
    case WriteOutcome::ImageNoReply: return ExitImageNoReply;
    case WriteOutcome::ImageWrongReply: return ExitImageWrongReply;
    case WriteOutcome::ProgramFailed: return ExitProgramFailed;
    case WriteOutcome::NumberFailed: return ExitNumberFailed;
    case WriteOutcome::PortLost: return ExitPortFailed;
    case WriteOutcome::Abandoned: return ExitInternal;  // not reached: a signal ends the process
    }
    std::unreachable();
}

}  // namespace qw735
