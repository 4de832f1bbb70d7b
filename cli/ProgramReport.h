// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/WriteInput.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace qw735 {

// An address as --binary-at takes it: decimal, or hexadecimal after 0x;
// at most 0xFFFFFFFF.
std::optional<std::uint64_t> ParseAddress(const QString &text);

// --info: reads the file as a write would and prints what it holds and what
// a write would send, and on stderr what the file's notes say; returns the
// exit status.
int PrintProgramInfo(const QByteArray &file, const ProgramOptions &options);

// On stderr, before a write: what of the file will not reach the board as
// it stands in the file (data past the program area, bytes given twice, no
// data at all), and what else the reader noted (a count record that does
// not match, text after the end of an Intel HEX file, an ELF file without
// section headers).
void PrintInputNotes(const ProgramSummary &summary, const QString &file);

// On stderr: what the user can do about a refused file.
void PrintInputAdvice(InputAdvice advice);

}  // namespace qw735
