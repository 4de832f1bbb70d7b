// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace qw735 {

// Makes descriptors 0, 1 and 2 valid, opening /dev/null on each that is
// closed (a service manager or a careless parent may start the program so).
// Call it first in main, before anything opens a descriptor: one opened
// later would take the number of a closed standard descriptor, and what is
// meant for stdout or stderr (progress, the toolkit's warnings) would go
// into it, be it a serial port or a pipe of the program's own. False when
// /dev/null cannot be opened.
bool OpenStandardDescriptors();

}  // namespace qw735
