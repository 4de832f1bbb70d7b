// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "writer/WriteResult.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace qw735 {

// qw735-write --list-ports: every serial device with its Com number, stable
// names, USB identity and users, as text or as one JSON array. Returns the
// exit status.
int PrintPortList(bool json);

// Lines for stderr when no loader could be read, before any port opens:
// the --loader file given and why it cannot be used, or else every place
// looked in and the name the file must have.
QString LoaderProblem(const PathName &givenLoader, const QStringList &placesTried);

// What to check after a write that ended in one of the designed result
// texts other than "O.K.": a line for stderr, after that text. Empty for
// every other outcome.
QString OutcomeAdvice(WriteOutcome outcome);

// Whether a write ended on a port that does not exist.
bool NamesNoPort(const WriteResult &result);
// The serial ports that do exist, or that there are none; for the line
// after "Cannot open ...: no such device".
QString ExistingPortsHint();

}  // namespace qw735
