// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ModemLines.h"

#include <QString>
#include <expected>
#include <span>
#include <vector>

namespace qw735 {

// Why a sequence's text was not taken, by kind, with its text for the user.
struct SequenceError {
    enum class Kind {
        Empty,       // nothing, or an empty step between two commas
        UnknownStep, // a step that is neither a line nor a wait, nor a sequence's name
        LineTwice,   // one step names the same line twice
        BadWait,     // a wait outside 1..MaxWaitMs, or with no number
        TooLong,     // more than MaxSteps steps
    };
    Kind kind;
    QString text;
};

// One step: a change of DTR, RTS or both at once, or a wait.
struct SequenceStep {
    LineChange change;
    int waitMs = 0;  // a wait when above 0; the change is then empty
    bool IsWait() const { return waitMs > 0; }
    bool operator==(const SequenceStep &) const = default;
};

// Steps separated by commas: D1/D0 put DTR on/off, R1/R0 RTS on/off, D1R0
// both in one call, W50 waits 50 ms. On means the line asserted.
struct LineSequence {
    static constexpr int MaxWaitMs = 10'000;
    static constexpr int MaxSteps = 32;

    QString name;  // the named sequence it is, empty for one written out
    std::vector<SequenceStep> steps;

    // The steps as the language writes them: "D1R0,W100,D0R1".
    QString Text() const;
    // What the record and the messages call it: its name, or its text.
    QString Label() const { return name.isEmpty() ? Text() : name; }
    // Where it leaves the lines, a line it never names off: the state they
    // rest in while the port is open, so that the open and close of the
    // port change nothing the sequence did not.
    ModemLines Rest() const;
    // The sum of its waits.
    int WaitMs() const;
};

// A sequence for a common wiring, by name.
struct NamedSequence {
    const char *name;
    const char *steps;
    const char *what;  // the wiring it is for, in words
};
std::span<const NamedSequence> NamedSequences();

// A sequence's name, or its steps.
std::expected<LineSequence, SequenceError> ParseSequence(const QString &text);

}  // namespace qw735
