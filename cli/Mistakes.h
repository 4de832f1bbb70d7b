// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "image/ProgramError.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace qw735 {

// What a user probably meant when the command line cannot mean what it
// says. Each text follows "qw735-write: " on stderr. Names are the bytes
// given and are shown as messages show file names.

// The PORTs and the FILE of a write, looked at before any port opens: a
// port where the program file belongs ("prog.mot COM1"), a file among the
// ports (the loader, or the program given first), a remote port without its
// scheme ("raspberrypi.local:4000"). `loader` is the loader the write would
// send. Nothing when they may well be what they stand for.
std::optional<QString> MisplacedArgument(const QList<QByteArray> &ports, const PathName &file, const PathName &loader);

// A write given one PORT or FILE where it needs both: which of the two it
// looks like, and what is missing.
QString LoneArgument(const QByteArray &argument);

// Better advice than "give it an address" for a file of no format read by
// content (`error`), when it is something else: the loader given as the
// program, or text in UTF-16 without a byte-order mark (the iconv line that
// converts it, for a regular file). Empty for a file that is simply binary.
QString UnrecognizedFileHint(const PathName &file, const PathName &loader, const ProgramError &error);

// The warning for a private key that other users can read, with the chmod
// that fixes it; empty when only its owner can. Not a refusal: a key kept on
// a read-only medium cannot be made private.
QString OpenKeyWarning(const QString &keyFile);

// `text` as one word for a POSIX shell: as it stands when nothing in it is
// special, otherwise in single quotes.
QString ShellWord(const QString &text);

}  // namespace qw735
