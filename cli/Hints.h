// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "writer/WriteResult.h"

#include <QString>
#include <QStringList>

namespace qw735 {

class Console;

// What the user can do about a write that did not go well, chosen by the
// kind of its ending: the write's outcome, its port error's kind, its
// program file error's kind. Each hint is said on stderr after the result,
// after the program's name; an empty one is not said.

// No loader could be read, before any port opens: says on `console` the
// --loader file given and why it cannot be used, or else every place looked
// in and the name the file must have.
void TellLoaderProblem(const Console &console, const PathName &givenLoader, const QStringList &placesTried);

// What to check after a write that ended in one of the designed result
// texts other than "O.K.".
QString OutcomeHint(WriteOutcome outcome);

// Whether a write ended on a port that does not exist.
bool NamesNoPort(const WriteResult &result);
// The serial ports that do exist, or that there are none; for the line
// after "Cannot open ...: no such device".
QString ExistingPortsHint();

// What to do about a program file the write refused (nothing for other
// results); `file` is the program file, `loader` the loader a write would
// send, which a file of no format may turn out to be.
QString ProgramFileHint(const WriteResult &result, const PathName &file, const PathName &loader);

}  // namespace qw735
