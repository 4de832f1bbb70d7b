// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "numbering/SerialSource.h"

#include <expected>
#include <memory>

namespace qw735 {

// Opens the source `source` names, ready to take from, with what it must
// hold checked (a counter file that holds a number, a list whose lines are
// numbers given once each), so that a bad source stops a run before any
// board starts:
//   counter:FILE  FILE holds the next number as text; each take writes the
//                 one after it (kept in FILE.lock's lock, FILE.tmp renamed).
//   list:FILE     one value a line (blank lines skipped), taken in order;
//                 FILE.used holds how many were taken and the last one, so
//                 that a restart goes on where the last run stopped, and a
//                 list changed at a line already taken is refused.
// Values are decimal, or hexadecimal after 0x.
[[nodiscard]] std::expected<std::unique_ptr<SerialSource>, SerialError> OpenSerialSource(const SerialSourceText &source);

}  // namespace qw735
