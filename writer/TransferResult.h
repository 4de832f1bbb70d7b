// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ReplyResult.h"

namespace qw735 {

// The outcome of the loader and image transfers. Note the two codings: the
// reply wait says 1 for silence and 2 for a wrong byte, the transfers the
// other way round; both are kept because result codes travel as numbers.
enum class TransferResult {
    Done = 0,
    WrongReply = 1,      // the target sent a byte other than the one expected
    NoReply = 2,         // the target did not answer within the limit
    LoaderMissing = 5,   // no loader file, or an empty one (loader transfer only)
    LoaderTooLarge = 6,  // the loader does not fit the 16-bit size field
    LinkDown = 7,        // the port was lost or the write abandoned
};

// A reply wait's outcome as a transfer's: silence and a wrong byte swap codes.
constexpr TransferResult TransferResultOf(ReplyResult reply)
{
    switch (reply) {
    case ReplyResult::Expected: return TransferResult::Done;
    case ReplyResult::NoReply: return TransferResult::NoReply;
    case ReplyResult::OtherByte: return TransferResult::WrongReply;
    case ReplyResult::LinkDown: break;
    }
    return TransferResult::LinkDown;
}

}  // namespace qw735
