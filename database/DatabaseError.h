// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>

namespace qw735 {

// Why the database could not be used. Callers choose by the kind: a server
// that cannot be reached or answers too late leaves the records in the
// spool, one that refuses the station stops the run before any board.
struct DatabaseError {
    enum class Kind {
        BadUrl,       // not a database URL this writer takes (a password in it, say)
        Unreachable,  // no server answered, or it went away
        Refused,      // the server turned the station away: its password, its certificate
        Rejected,     // a statement failed: a row against a constraint, no such sequence
        TimedOut,     // no answer within the bound (a lock held, a stalled network)
        GaveUp,       // the run ended during the wait
    };

    Kind kind;
    // "cannot reach the database postgresql://127.0.0.1:5432/line: Connection refused"
    std::string text;
};

}  // namespace qw735
