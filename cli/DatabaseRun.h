// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace qw735 {

class Console;
struct Options;

// --init-database URL: the table, its indexes and the sequence made where
// missing. 0, or 64 for a URL or a station the server refuses, 75 when the
// server cannot be reached now.
int RunInitDatabase(const Options &options, const Console &console);

// --send-records URL: the spooled records sent. 0 when none stays in the
// spool, 75 when some do (the server out of reach, or refusing a row), 64
// for a URL or a station the server refuses.
int RunSendRecords(const Options &options, const Console &console);

}  // namespace qw735
