// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/WriteInput.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <expected>
#include <optional>

namespace qw735 {

class Console;

// An address as --binary-at takes it: decimal, or hexadecimal after 0x;
// at most 0xFFFFFFFF. `text` holds the argument's bytes as Latin-1. The
// error says why it is no address ("it is negative", "'x' is not a decimal
// digit"), bytes that are not UTF-8 shown as \xNN.
std::expected<std::uint64_t, QString> ParseAddress(const QString &text);

// --info: reads the file as a write would and prints what it holds and what
// a write would send, as text or (`json`) as one JSON object, and on stderr
// what the file's notes say; returns the exit status. `loader` is the loader
// a write would send, for the advice on a file that is no program.
int PrintProgramInfo(const Console &console, const PathName &file, const ProgramOptions &options, bool json, const PathName &loader);

// On stderr, before a write: what of the file will not reach the board as
// it stands in the file (data past the program area, bytes given twice, no
// data at all), and what else the reader noted (a count record that does
// not match, text after the end of an Intel HEX file, an ELF file without
// section headers).
void PrintInputNotes(const Console &console, const ProgramSummary &summary, const QString &file);

}  // namespace qw735
