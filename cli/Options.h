// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/PathName.h"
#include "production/JobText.h"
#include "writer/WriteInput.h"
#include "writer/WriteOptions.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <expected>
#include <optional>
#include <string_view>

namespace qw735 {

class Console;

// What one command line asks qw735-write to do, as the options give it.
struct Options {
    enum class Mode { Write, Info, ListPorts, ListSequences, MakeJob, InitDatabase, SendRecords, Help, Version } mode = Mode::Write;
    // As the bytes given: a name need not be valid UTF-8 to be opened.
    QList<QByteArray> ports;
    PathName file;
    PathName loader;
    PathName report;
    enum class Trace { Off, ToStderr, ToFile } trace = Trace::Off;
    PathName traceFile;
    bool quiet = false;
    bool json = false;
    WriteOptions write;      // --loader-start, --wait-for-board, --boot-entry, --release, --sync-retries
    ProgramOptions program;  // --binary-at, --ignore-checksums
    // rfc2217+tls://: the CA to trust, the client's certificate and key.
    QString tlsCa, tlsCert, tlsKey;
    // --serial-at, --serial-format, --serial-from, --serial-over-data: each
    // board's own number; its file as given.
    std::optional<JobNumbering> numbering;
    // --job: the job file that fixes what is written (the options above that
    // would change it are then not given); --make-job: the job file to make.
    PathName job;
    // --init-database, --send-records: the database URL.
    QString database;
    // --auto: the PORTs are slots, and each board is written as it is
    // plugged into one (--settle, --count).
    struct Automatic {
        bool on = false;
        int settleMs = 0;
        int count = 0;  // 0: until Ctrl-C
    } automatic;
};

// A command line that asks for nothing this program does, and why.
struct Misuse {
    QString why;
};

// The --help text.
std::string_view UsageText();
// The --list-sequences text: each named sequence, its steps and its wiring.
QString SequencesText();

// The arguments with every byte as one Latin-1 character. Options are plain
// ASCII, so they parse the same; names come back byte for byte through
// toLatin1(), where decoding them as UTF-8 would replace every byte that is
// not valid UTF-8 and name a file that does not exist.
QStringList RawArguments(int argc, char **argv);

// The command line (RawArguments) read into options, or the first thing
// wrong with it.
std::expected<Options, Misuse> ParseOptions(QStringList args);

// Says `why` on stderr with a pointer to --help; returns ExitUsage, with
// which the program ends.
int Misused(const Console &console, const QString &why);

}  // namespace qw735
