// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <optional>
#include <string>

namespace qw735::sim {

// How a board's reset and mode pins hang on the adapter's DTR and RTS.
struct Wiring {
    enum class Line { Dtr, Rts };
    struct Pin {
        Line line;
        bool inverted = false;  // the adapter drives the pin the other way round
    };
    Pin reset{Line::Dtr};
    Pin mode{Line::Rts};
    // Through the usual transistor pair: a pin is driven only while its
    // line is on and the other off. Otherwise each pin follows its line.
    bool transistorPair = true;
    // How long reset must be held for the chip to restart.
    int resetMs = 20;
    // How long after the line lets reset go the chip leaves reset and reads
    // the mode pin: the reset pin's capacitor rises that slowly. A change
    // of the mode line within that time still counts.
    int sampleUs = 1000;
    // Entries into boot mode the board misses (stays in its program), as a
    // board whose supply has not settled at the first try.
    int missEntries = 0;
};

// What the pins see of the lines: reset held, mode pin at the boot level.
struct Pins {
    bool resetHeld = false;
    bool modeBoot = false;
};
Pins PinsOf(const Wiring &wiring, bool dtr, bool rts);

// "reset=dtr,mode=rts", "reset=~rts,mode=~dtr" (~: inverted), with
// ",direct" (no transistor pair), ",reset-ms=N", ",sample-us=N", ",miss=N".
// The error says
// what is wrong.
std::optional<Wiring> ParseWiring(const std::string &text, std::string &error);

}  // namespace qw735::sim
