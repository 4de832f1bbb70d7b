// SPDX-License-Identifier: GPL-2.0-or-later
#include "sequence/LineSequence.h"

#include <QStringList>
#include <array>

namespace qw735 {

namespace {

using Kind = SequenceError::Kind;

// Both wirings go through the usual pair of transistors between the two
// lines and the two pins: a pin is pulled low only while its own line is on
// and the other off, so that a terminal that raises both changes nothing.
// Reset released and mode set at the boot level must then happen in one
// change (D0R1 after D1R0), or the chip sees the two lines off between them
// and starts its program. 100 ms covers the reset circuits of common
// boards; the mode pin is held 50 ms more for a boot ROM that samples it
// late.
constexpr std::array Named{
    NamedSequence{"reset-dtr-mode-rts", "D1R0,W100,D0R1,W50,D0R0",
                  "boot mode where DTR drives reset and RTS the mode pin"},
    NamedSequence{"reset-rts-mode-dtr", "D0R1,W100,D1R0,W50,D0R0",
                  "boot mode where RTS drives reset and DTR the mode pin"},
    NamedSequence{"reset-dtr", "D1R0,W100,D0R0", "a reset on DTR with the mode pin off: the board runs its program"},
    NamedSequence{"reset-rts", "D0R1,W100,D0R0", "a reset on RTS with the mode pin off: the board runs its program"},
};

std::unexpected<SequenceError> Refuse(Kind kind, const QString &text)
{
    return std::unexpected(SequenceError{kind, text});
}

std::expected<SequenceStep, SequenceError> ParseStep(const QString &step)
{
    const QString upper = step.toUpper();
    if (upper.startsWith(u'W')) {
        bool number = false;
        const int ms = upper.mid(1).toInt(&number);
        if (!number || ms < 1 || ms > LineSequence::MaxWaitMs || upper.mid(1).startsWith(u'+'))
            return Refuse(Kind::BadWait, QStringLiteral("\"%1\": a wait is W and 1 to %2 ms").arg(step).arg(LineSequence::MaxWaitMs));
        return SequenceStep{{}, ms};
    }
    SequenceStep parsed;
    for (qsizetype at = 0; at < upper.size(); at += 2) {
        const QChar line = upper[at];
        const QChar level = at + 1 < upper.size() ? upper[at + 1] : QChar();
        std::optional<bool> *target = line == u'D' ? &parsed.change.dtr : line == u'R' ? &parsed.change.rts : nullptr;
        if (!target || (level != u'0' && level != u'1'))
            return Refuse(Kind::UnknownStep,
                          QStringLiteral("\"%1\" is no step: write D1 or D0 (DTR on or off), R1 or R0 (RTS), both at once as "
                                         "D1R0, W and a time in ms (W50), or a sequence's name (--list-sequences)")
                              .arg(step));
        if (target->has_value())
            return Refuse(Kind::LineTwice, QStringLiteral("\"%1\" names %2 twice").arg(step, line == u'D' ? u"DTR" : u"RTS"));
        *target = level == u'1';
    }
    return parsed;
}

}  // namespace

QString LineSequence::Text() const
{
    QStringList parts;
    for (const SequenceStep &step : steps)
        parts << (step.IsWait() ? QStringLiteral("W%1").arg(step.waitMs) : ChangeText(step.change));
    return parts.join(u',');
}

ModemLines LineSequence::Rest() const
{
    ModemLines lines;
    for (const SequenceStep &step : steps)
        lines = step.change.From(lines);
    return lines;
}

int LineSequence::WaitMs() const
{
    int total = 0;
    for (const SequenceStep &step : steps)
        total += step.waitMs;
    return total;
}

std::span<const NamedSequence> NamedSequences()
{
    return Named;
}

std::expected<LineSequence, SequenceError> ParseSequence(const QString &text)
{
    for (const NamedSequence &named : Named) {
        if (text == QLatin1String(named.name)) {
            auto sequence = ParseSequence(QLatin1String(named.steps));
            sequence->name = text;
            return sequence;
        }
    }
    if (text.trimmed().isEmpty())
        return Refuse(Kind::Empty, QStringLiteral("the sequence is empty"));
    LineSequence sequence;
    const QStringList steps = text.split(u',');
    if (steps.size() > LineSequence::MaxSteps)
        return Refuse(Kind::TooLong, QStringLiteral("a sequence has at most %1 steps").arg(LineSequence::MaxSteps));
    for (const QString &written : steps) {
        const QString step = written.trimmed();
        if (step.isEmpty())
            return Refuse(Kind::Empty, QStringLiteral("an empty step in \"%1\"").arg(text));
        auto parsed = ParseStep(step);
        if (!parsed)
            return std::unexpected(parsed.error());
        sequence.steps.push_back(*parsed);
    }
    return sequence;
}

}  // namespace qw735
