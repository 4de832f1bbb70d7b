// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace qw735 {

// The outcome of waiting for one reply byte.
enum class [[nodiscard]] ReplyResult {
    Expected,   // the first byte that came is the one expected
    NoReply,    // nothing came within the limit
    OtherByte,  // a byte came and it is another one
    LinkDown,   // the port was lost or the write was abandoned; see Link
};

}  // namespace qw735
