// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ReplyResult.h"

#include <utility>

namespace qw735 {

// The outcome of the loader and image transfers. Code compares the values
// by name; nothing turns them into numbers or back.
enum class [[nodiscard]] TransferResult {
    Done,
    WrongReply,      // the target sent a byte other than the one expected
    NoReply,         // the target did not answer within the limit
    LoaderMissing,   // no loader file, or an empty one (loader transfer only)
    LoaderTooLarge,  // the loader does not fit the 16-bit size field
    LinkDown,        // the port was lost or the write abandoned
};

// A reply wait's outcome as a transfer's.
constexpr TransferResult TransferResultOf(ReplyResult reply)
{
    switch (reply) {
    case ReplyResult::Expected: return TransferResult::Done;
    case ReplyResult::NoReply: return TransferResult::NoReply;
    case ReplyResult::OtherByte: return TransferResult::WrongReply;
    case ReplyResult::LinkDown: return TransferResult::LinkDown;
    }
    std::unreachable();
}

}  // namespace qw735
