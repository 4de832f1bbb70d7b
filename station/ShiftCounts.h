// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <expected>

namespace qw735::station {

// The shift's counts, by slot, and the labels scanned in it: kept in the
// state folder ($XDG_STATE_HOME/qw735/station.json), so that a restart of
// the program (or of the machine) does not lose a shift, until the operator
// resets them. The file is replaced whole at every change, never edited in
// place: a power cut leaves the counts before or after the board, never a
// file that does not read.
class ShiftCounts {
public:
    struct Tally {
        int passed = 0;
        int failed = 0;
    };

    // The counts kept at `path` (StatePath() by default); a file that is
    // missing or does not read starts the shift anew.
    explicit ShiftCounts(QString path = StatePath());
    static QString StatePath();

    const Tally &Of(const QString &slot) const;
    Tally Total() const;
    // Passed over written, in percent; nothing written: 0.
    static double Yield(const Tally &tally);

    // Each stores at once; the error is why the file could not be kept.
    std::expected<void, QString> Count(const QString &slot, bool passed);
    // Whether `label` was scanned before in this shift.
    bool Scanned(const QString &label) const { return labels_.contains(label); }
    std::expected<void, QString> AddLabel(const QString &label);
    std::expected<void, QString> Reset();

private:
    std::expected<void, QString> Store() const;

    QString path_;
    QHash<QString, Tally> tallies_;
    QSet<QString> labels_;
};

}  // namespace qw735::station
