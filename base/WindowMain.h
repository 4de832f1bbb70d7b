// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <functional>

namespace qw735 {

// Whether a window can be shown at all: a display server to talk to, or a
// platform the user chose (QT_QPA_PLATFORM=offscreen, vnc, ...). Without
// one, Qt would abort with advice about reinstalling the program.
bool HasGraphicalSession();

// A window program's main around `run`: the standard descriptors made
// valid first, and no exception leaving it (a write closes its port before
// anything it throws goes further), a line on stderr naming `program` and
// what failed instead. Returns `run`'s status, or 70 when it failed.
int WindowMain(const char *program, const std::function<int()> &run);

}  // namespace qw735
