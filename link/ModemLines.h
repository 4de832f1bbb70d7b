// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <optional>

namespace qw735 {

// The two output lines of a serial port a board's reset and mode pins may
// be wired to. On means the line asserted: on most TTL adapters the pin
// then reads low.
struct ModemLines {
    bool dtr = false;
    bool rts = false;
    bool operator==(const ModemLines &) const = default;
};

// A change of one line or both at once; a line not named keeps its state.
struct LineChange {
    std::optional<bool> dtr;
    std::optional<bool> rts;
    bool operator==(const LineChange &) const = default;

    // The lines after this change from `before`.
    ModemLines From(ModemLines before) const { return {dtr.value_or(before.dtr), rts.value_or(before.rts)}; }
};

// "DTR on, RTS off", "DTR on": the change in words, for messages.
QString DescribeChange(const LineChange &change);
// "D1R0", "D1": the change as the sequence language writes it.
QString ChangeText(const LineChange &change);

}  // namespace qw735
