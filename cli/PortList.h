// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace qw735 {

class Console;

// qw735-write --list-ports: every serial device with its Com number, stable
// names, USB identity and users, as text or as one JSON array, on
// `console`'s stdout. Returns the exit status.
int PrintPortList(const Console &console, bool json);

}  // namespace qw735
