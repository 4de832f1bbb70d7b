// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Plain C++: the job file reader, fuzzed without Qt, reports these too.

#include <string>

namespace qw735 {

// Why a board cannot have its own number. The kind says what a front end
// does about it (a usage mistake before any port opens, or a board that
// ends without being written); the text is one line for the user.
struct SerialError {
    enum class Kind {
        BadFormat,        // a format text that names no format
        DoesNotFit,       // a value outside its format's range
        OutsideDataArea,  // the field does not lie inside the data area
        OverData,         // the field lies over the program file's data
        BadSource,        // a source text that names no source
        CannotOpen,       // the source cannot be reached: a file that cannot be opened or read
        BadContent,       // the source holds something that is not a number where one must be
        ListChanged,      // a list whose line taken last no longer holds the value taken
        Exhausted,        // nothing left to take
        CannotStore,      // the value taken could not be made to last (a full disk, a read-only folder)
        Interrupted,      // the run ended while another program held the source
    };
    Kind kind;
    std::string text;
};

}  // namespace qw735
