// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/WriteInput.h"

#include <expected>

namespace qw735 {

class Console;
class FileSystem;
class PathName;
struct Options;

// The program file and the loader, read as the options say, before
// anything is held; what cannot be used is said on `console` (the write's
// last line, and its hint), and the error is the exit status.
std::expected<WriteInput, int> ReadRunInput(const Options &options, const PathName &loaderPath, const FileSystem &fileSystem,
                                            const Console &console);

// A write as the options ask for it: the ports and the TLS identity
// checked, the program file and the loader read, the report and the trace
// opened, all before any port is held; then every board written at once.
// Returns the exit status.
int RunWrite(const Options &options, const Console &console);

}  // namespace qw735
