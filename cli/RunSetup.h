// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace qw735 {

class Console;
struct Options;

// A write as the options ask for it: the ports and the TLS identity
// checked, the program file and the loader read, the report and the trace
// opened, all before any port is held; then every board written at once.
// Returns the exit status.
int RunWrite(const Options &options, const Console &console);

}  // namespace qw735
