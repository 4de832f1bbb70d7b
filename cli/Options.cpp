// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/Options.h"

#include "cli/Console.h"
#include "production/ExitStatus.h"
#include "cli/Mistakes.h"
#include "cli/Hints.h"
#include "cli/ProgramReport.h"
#include "database/DatabaseUrl.h"
#include "slot/DeviceWatcher.h"
#include "writer/WriteOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>
#include <tuple>
#include <utility>

namespace qw735 {

namespace {

// An hour is more than any bench needs to reset a board.
constexpr int WaitForBoardLimitS = 3600;

constexpr std::string_view Usage =
    "Usage: qw735-write [options] PORT [PORT...] FILE\n"
    "  or:  qw735-write --auto [options] SLOT [SLOT...] FILE\n"
    "  or:  qw735-write --job JOB [-q] [--trace[=FILE]] [PORT...]\n"
    "  or:  qw735-write --make-job JOB [options] [PORT...] FILE\n"
    "  or:  qw735-write --info [--json] FILE\n"
    "  or:  qw735-write --list-ports [--json]\n"
    "  or:  qw735-write --list-sequences\n"
    "  or:  qw735-write --init-database URL | --send-records URL\n"
    "Write FILE into the board on each PORT, all boards at once.\n"
    "\n"
    "FILE is an S-record, Intel HEX or ELF file, told apart by its content;\n"
    "a raw binary file is taken only with --binary-at.\n"
    "\n"
    "PORT is a device path (/dev/ttyUSB0), COM1..COM10 as the windows number them,\n"
    "or rfc2217://HOST:PORT for a board on another machine's serial port\n"
    "(rfc2217+tls://HOST:PORT: the same over TLS, the server's name checked).\n"
    "\n"
    "With --auto, write each board as it is plugged in, until Ctrl-C: SLOT is where\n"
    "boards appear, a device path (/dev/serial/by-path/...), a pattern over such\n"
    "names ('/dev/serial/by-path/*usb-0:1.*'), COM1..COM10, or an rfc2217:// URL\n"
    "(tried every 3 s). A board is written once, then its slot waits for it to go.\n"
    "\n"
    "Options:\n"
    "  --loader FILE      use FILE instead of qw735/tqw735.bin from the data directories\n"
    "  --loader-start MS  wait MS milliseconds (0..3000, default 50) after the end mark\n"
    "                     before the first byte to the loader, while it starts\n"
    "  --wait-for-board SECONDS\n"
    "                     keep synchronising for up to SECONDS (1..3600) until the\n"
    "                     board answers: start the write, then reset the board\n"
    "  --boot-entry SEQUENCE\n"
    "                     put the board into boot mode by DTR and RTS before the\n"
    "                     handshake: a named sequence (--list-sequences) or steps such\n"
    "                     as D1R0,W100,D0R1,W50,D0R0 (D1/D0 DTR on/off, R1/R0 RTS\n"
    "                     on/off, D1R0 both in one call, W50 wait 50 ms; on = the line\n"
    "                     asserted, its pin low on most TTL adapters)\n"
    "  --release SEQUENCE after the write, however it ended, run SEQUENCE on DTR and\n"
    "                     RTS (reset-dtr: restart the board into its program)\n"
    "  --sync-retries N   when no sync byte is answered, run the boot entry again and\n"
    "                     start the handshake over, up to N times (0..10; default 2\n"
    "                     with --boot-entry, else 0); each try synchronises for\n"
    "                     --wait-for-board or 51 sync bytes, whichever is longer\n"
    "  --list-sequences   list the named sequences: their steps and wiring\n"
    "  -q, --quiet        show no progress\n"
    "  --report FILE      append a JSON record of each board's write to FILE (JSON Lines);\n"
    "                     - for stdout, which then holds the records only; or a row\n"
    "                     of the database postgresql://HOST[:PORT]/DB[?sslmode=...\n"
    "                     &sslrootcert=...] (no password: ~/.pgpass), spooled in\n"
    "                     $XDG_STATE_HOME/qw735/spool while it cannot take them\n"
    "  --trace[=FILE]     write every byte on the wire to stderr, or to FILE\n"
    "  --tls-ca FILE      trust only the CA in FILE for rfc2217+tls:// servers\n"
    "                     (default: the system's trusted CAs)\n"
    "  --tls-cert FILE    the client certificate for rfc2217+tls:// servers\n"
    "  --tls-key FILE     its private key (PEM, no passphrase)\n"
    "  --auto             the PORTs are slots: write each board plugged into one\n"
    "  --settle MS        with --auto: wait MS milliseconds (0..60000, default 500)\n"
    "                     after a device appears before writing it\n"
    "  --count N          with --auto: end after N boards (1..1000000)\n"
    "  --serial-at ADDRESS  write each board's own number at ADDRESS (decimal or 0x-hex)\n"
    "  --serial-format FORMAT\n"
    "                     u8, u16le, u16be, u32le, u32be, u64le, u64be, or ascii:N\n"
    "                     (N decimal digits, zero-padded)\n"
    "  --serial-from SOURCE\n"
    "                     counter:FILE (FILE holds the next number), list:FILE\n"
    "                     (one value a line, each used once; FILE.used counts them)\n"
    "                     or postgresql://HOST[:PORT]/DB?sequence=NAME (nextval)\n"
    "  --serial-over-data   let the number lie over the program file's data\n"
    "  --job JOB          write what the job file JOB fixes: program, loader, numbering,\n"
    "                     report and ports; refused when a file's SHA-256 changed\n"
    "  --make-job JOB     write no board: make the job file JOB from the options,\n"
    "                     ports and FILE given, with the SHA-256 of FILE and the loader\n"
    "  --init-database URL  make the records' table, its indexes and the sequence\n"
    "                     (URL's sequence, or qw735_serial) where missing\n"
    "  --send-records URL   send the spooled records to the database URL\n"
    "  --info             summarize the image; open no port\n"
    "  --binary-at ADDRESS  read FILE as raw bytes from ADDRESS (decimal or 0x-hex)\n"
    "  --ignore-checksums   take records whose checksum is wrong as they stand\n"
    "  --list-ports       list every serial device: Com number, stable names, USB\n"
    "                     identity, latency timer, and which process has it open\n"
    "  --json             with --info: print one JSON object; with --list-ports: one\n"
    "                     JSON array\n"
    "  -h, --help         show this text\n"
    "  -V, --version      show the version\n";

// An argument as messages show it: its bytes as UTF-8, each byte that is
// not part of valid UTF-8 as \xNN.
QString ArgumentDisplay(const QString &argument)
{
    return BytesDisplay(argument.toLatin1());
}

// True when a value-taking option is followed by another option instead of
// its value ("--loader --quiet PORT F"): the option was most likely given
// without its value, and taking the next option as a file name would only
// hide that. A file whose name starts with '-' can be given as ./-name. A
// number with a sign ("--binary-at -1") is a value, refused by its option
// with the reason.
bool ValueIsAnOption(const QStringList &args, const QString &valueOption)
{
    for (qsizetype i = 1; i + 1 < args.size() && args[i] != u"--"; ++i) {
        const QString &next = args[i + 1];
        if (args[i] == valueOption && next.startsWith(u'-') && next != u"-" && !next[1].isDigit())
            return true;
    }
    return false;
}

// The parser's complaint, as "unknown option '--qiuet'".
Misuse ParserMisuse(const QCommandLineParser &parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty())
        return {QStringLiteral("unknown option '%1%2'").arg(QLatin1String(unknown[0].size() == 1 ? "-" : "--"), ArgumentDisplay(unknown[0]))};
    QString text = parser.errorText();
    if (text.endsWith(u'.'))
        text.chop(1);
    return {text.isEmpty() ? text : text.left(1).toLower() + text.mid(1)};
}

// Takes --trace and --trace=FILE out of `args`: the option's value is
// optional, which the parser does not know. A misuse when it is given twice
// or with an empty FILE.
std::expected<void, Misuse> TakeTraceOption(QStringList &args, Options &options)
{
    for (qsizetype i = 1; i < args.size() && args[i] != u"--";) {
        if (args[i] != u"--trace" && !args[i].startsWith(u"--trace=")) {
            ++i;
            continue;
        }
        if (options.trace != Options::Trace::Off)
            return std::unexpected(Misuse{QStringLiteral("--trace is given twice")});
        options.trace = args[i] == u"--trace" ? Options::Trace::ToStderr : Options::Trace::ToFile;
        options.traceFile = PathName(args[i].mid(8).toLatin1());
        if (options.trace == Options::Trace::ToFile && options.traceFile.IsEmpty())
            return std::unexpected(Misuse{QStringLiteral("empty value after '--trace='")});
        args.removeAt(i);
    }
    return {};
}

// Longest --settle: a minute is more than any board or hub needs to start.
constexpr int SettleLimitMs = 60000;
constexpr int CountLimit = 1000000;

// The one value of a value-taking option; empty when it is not given.
std::expected<QString, Misuse> OneValue(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    const QStringList values = parser.values(option);
    const QString name = QStringLiteral("--") + option.names().constLast();
    if (values.size() > 1)
        return std::unexpected(Misuse{QStringLiteral("%1 is given twice").arg(name)});
    if (values.size() == 1 && values[0].isEmpty())
        return std::unexpected(Misuse{QStringLiteral("empty value after '%1'").arg(name)});
    return values.value(0);
}

// The arguments after the options, as each kind of run takes them.
std::expected<void, Misuse> TakePositional(const QStringList &positional, Options &options)
{
    QStringList shown;
    for (const QString &argument : positional)
        shown << ShellWord(ArgumentDisplay(argument));
    switch (options.mode) {
    case Options::Mode::Write:
        if (!options.job.IsEmpty()) {
            for (const QString &port : positional)
                options.ports << port.toLatin1();
            return {};
        }
        if (options.automatic.on && positional.size() < 2)
            return std::unexpected(Misuse{QStringLiteral("--auto needs the SLOTs where boards are plugged, then the program FILE (SLOT FILE)")});
        if (positional.isEmpty())
            return std::unexpected(Misuse{QStringLiteral("give the PORT, then the program FILE to write into its board (PORT FILE)")});
        if (positional.size() == 1)
            return std::unexpected(Misuse{LoneArgument(positional[0].toLatin1())});
        for (const QString &port : positional.first(positional.size() - 1))
            options.ports << port.toLatin1();
        options.file = PathName(positional.last().toLatin1());
        return {};
    case Options::Mode::Info:
        if (positional.isEmpty())
            return std::unexpected(Misuse{QStringLiteral("--info needs the program FILE to summarise")});
        if (positional.size() > 1)
            return std::unexpected(Misuse{QStringLiteral("--info summarises one FILE and opens no port: leave out %1")
                                              .arg(shown.first(shown.size() - 1).join(u' '))});
        options.file = PathName(positional[0].toLatin1());
        return {};
    case Options::Mode::MakeJob:
        if (positional.isEmpty())
            return std::unexpected(Misuse{QStringLiteral("--make-job needs the program FILE the job writes, after its ports if it has any")});
        for (const QString &port : positional.first(positional.size() - 1))
            options.ports << port.toLatin1();
        options.file = PathName(positional.last().toLatin1());
        return {};
    case Options::Mode::ListPorts:
        if (!positional.isEmpty())
            return std::unexpected(Misuse{QStringLiteral("--list-ports takes no PORT or FILE: leave out %1").arg(shown.join(u' '))});
        return {};
    case Options::Mode::ListSequences:
        if (!positional.isEmpty())
            return std::unexpected(Misuse{QStringLiteral("--list-sequences takes no PORT or FILE: leave out %1").arg(shown.join(u' '))});
        return {};
    case Options::Mode::InitDatabase:
    case Options::Mode::SendRecords:
        if (!positional.isEmpty())
            return std::unexpected(Misuse{QStringLiteral("--%1 takes the database URL only: leave out %2")
                                              .arg(QLatin1String(options.mode == Options::Mode::InitDatabase ? "init-database" : "send-records"),
                                                   shown.join(u' '))});
        return {};
    case Options::Mode::Help:
    case Options::Mode::Version: return {};
    }
    std::unreachable();
}

// Every option the parser knows; --trace is taken out before it parses.
struct Grammar {
    QCommandLineOption loader{QStringLiteral("loader"), QString(), QStringLiteral("FILE")};
    QCommandLineOption loaderStart{QStringLiteral("loader-start"), QString(), QStringLiteral("MS")};
    QCommandLineOption waitForBoard{QStringLiteral("wait-for-board"), QString(), QStringLiteral("SECONDS")};
    QCommandLineOption quiet{QStringList{QStringLiteral("q"), QStringLiteral("quiet")}};
    QCommandLineOption report{QStringLiteral("report"), QString(), QStringLiteral("FILE")};
    QCommandLineOption info{QStringLiteral("info")};
    QCommandLineOption listPorts{QStringLiteral("list-ports")};
    QCommandLineOption json{QStringLiteral("json")};
    QCommandLineOption help{QStringList{QStringLiteral("h"), QStringLiteral("help")}};
    QCommandLineOption version{QStringList{QStringLiteral("V"), QStringLiteral("version")}};
    QCommandLineOption tlsCa{QStringLiteral("tls-ca"), QString(), QStringLiteral("FILE")};
    QCommandLineOption tlsCert{QStringLiteral("tls-cert"), QString(), QStringLiteral("FILE")};
    QCommandLineOption tlsKey{QStringLiteral("tls-key"), QString(), QStringLiteral("FILE")};
    // How the program file is read.
    QCommandLineOption binaryAt{QStringLiteral("binary-at"), QString(), QStringLiteral("ADDRESS")};
    QCommandLineOption ignoreChecksums{QStringLiteral("ignore-checksums")};
    // The board's modem lines.
    QCommandLineOption bootEntry{QStringLiteral("boot-entry"), QString(), QStringLiteral("SEQUENCE")};
    QCommandLineOption release{QStringLiteral("release"), QString(), QStringLiteral("SEQUENCE")};
    QCommandLineOption syncRetries{QStringLiteral("sync-retries"), QString(), QStringLiteral("N")};
    QCommandLineOption listSequences{QStringLiteral("list-sequences")};
    // Each board's own number.
    QCommandLineOption serialAt{QStringLiteral("serial-at"), QString(), QStringLiteral("ADDRESS")};
    QCommandLineOption serialFormat{QStringLiteral("serial-format"), QString(), QStringLiteral("FORMAT")};
    QCommandLineOption serialFrom{QStringLiteral("serial-from"), QString(), QStringLiteral("SOURCE")};
    QCommandLineOption serialOverData{QStringLiteral("serial-over-data")};
    QCommandLineOption job{QStringLiteral("job"), QString(), QStringLiteral("JOB")};
    QCommandLineOption makeJob{QStringLiteral("make-job"), QString(), QStringLiteral("JOB")};
    // The line's database.
    QCommandLineOption initDatabase{QStringLiteral("init-database"), QString(), QStringLiteral("URL")};
    QCommandLineOption sendRecords{QStringLiteral("send-records"), QString(), QStringLiteral("URL")};
    // The automatic mode.
    QCommandLineOption automatic{QStringLiteral("auto")};
    QCommandLineOption settle{QStringLiteral("settle"), QString(), QStringLiteral("MS")};
    QCommandLineOption count{QStringLiteral("count"), QString(), QStringLiteral("N")};
    QCommandLineParser parser;

    Grammar()
    {
        parser.addOptions({loader, loaderStart, waitForBoard, quiet, report, info, listPorts, json, help, version, tlsCa, tlsCert, tlsKey,
                           binaryAt, ignoreChecksums, bootEntry, release, syncRetries, listSequences, serialAt, serialFormat, serialFrom,
                           serialOverData, job, makeJob, initDatabase, sendRecords, automatic, settle, count});
    }
};

// The options that take a value.
constexpr const char *ValueOptions[] = {"--loader",     "--report",      "--loader-start", "--wait-for-board", "--binary-at",
                                        "--tls-ca",     "--tls-cert",    "--tls-key",      "--boot-entry",     "--release",
                                        "--sync-retries", "--serial-at", "--serial-format", "--serial-from",   "--job",
                                        "--make-job",   "--settle",      "--count",        "--init-database",  "--send-records"};

// Which run: a write, unless --info, --list-ports or --make-job says
// otherwise; a write of a job, with --job.
std::expected<void, Misuse> TakeMode(const Grammar &grammar, Options &options)
{
    QStringList modes;
    for (const QCommandLineOption *mode : {&grammar.info, &grammar.listPorts, &grammar.makeJob, &grammar.job, &grammar.initDatabase, &grammar.sendRecords}) {
        if (grammar.parser.isSet(*mode))
            modes << QStringLiteral("--") + mode->names().constLast();
    }
    if (grammar.parser.isSet(grammar.listSequences)) {
        if (!modes.isEmpty())
            return std::unexpected(Misuse{QStringLiteral("--list-sequences goes alone")});
        options.mode = Options::Mode::ListSequences;
        return {};
    }
    if (modes.size() > 1)
        return std::unexpected(Misuse{QStringLiteral("%1 and %2 do not go together").arg(modes[0], modes[1])});
    if (grammar.parser.isSet(grammar.info))
        options.mode = Options::Mode::Info;
    else if (grammar.parser.isSet(grammar.listPorts))
        options.mode = Options::Mode::ListPorts;
    else if (grammar.parser.isSet(grammar.makeJob))
        options.mode = Options::Mode::MakeJob;
    for (const auto &[option, mode] : {std::pair{&grammar.initDatabase, Options::Mode::InitDatabase}, {&grammar.sendRecords, Options::Mode::SendRecords}}) {
        if (!grammar.parser.isSet(*option))
            continue;
        const auto url = OneValue(grammar.parser, *option);
        if (!url)
            return std::unexpected(url.error());
        options.mode = mode;
        options.database = *url;
    }
    for (const QCommandLineOption *file : {&grammar.job, &grammar.makeJob}) {
        const auto job = OneValue(grammar.parser, *file);
        if (!job)
            return std::unexpected(job.error());
        if (!job->isEmpty())
            options.job = PathName(job->toLatin1());
    }
    return {};
}

// What goes with which run: a write takes every option but --json, --info
// those that say how the program file is read and numbered, --list-ports
// only --json. A job fixes what is written: of a write's options it takes
// only those that say how the boards are reached and watched; a job is made
// of what a job holds. -q goes with any: there is simply no progress to hide.
std::expected<void, Misuse> CheckScopes(const Grammar &grammar, Options &options)
{
    const struct {
        const QCommandLineOption &option;
        bool write, job, makeJob, info, listPorts;
    } scopes[] = {
        {grammar.loader, true, false, true, false, false},
        {grammar.loaderStart, true, false, true, false, false},
        {grammar.waitForBoard, true, false, false, false, false},
        {grammar.report, true, false, true, false, false},
        {grammar.bootEntry, true, false, true, false, false},
        {grammar.release, true, false, true, false, false},
        {grammar.syncRetries, true, false, true, false, false},
        {grammar.tlsCa, true, true, false, false, false},
        {grammar.tlsCert, true, true, false, false, false},
        {grammar.tlsKey, true, true, false, false, false},
        {grammar.binaryAt, true, false, true, true, false},
        {grammar.ignoreChecksums, true, false, true, true, false},
        {grammar.serialAt, true, false, true, true, false},
        {grammar.serialFormat, true, false, true, true, false},
        {grammar.serialFrom, true, false, true, true, false},
        {grammar.serialOverData, true, false, true, true, false},
        {grammar.json, false, false, false, true, true},
        {grammar.automatic, true, true, false, false, false},
    };
    const bool job = options.mode == Options::Mode::Write && !options.job.IsEmpty();
    const QString mode = job                                       ? QStringLiteral("--job")
                         : options.mode == Options::Mode::Info    ? QStringLiteral("--info")
                         : options.mode == Options::Mode::MakeJob ? QStringLiteral("--make-job")
                         : options.mode == Options::Mode::ListPorts ? QStringLiteral("--list-ports")
                         : options.mode == Options::Mode::InitDatabase ? QStringLiteral("--init-database")
                         : options.mode == Options::Mode::SendRecords ? QStringLiteral("--send-records")
                                                                   : QStringLiteral("--list-sequences");
    for (const auto &scope : scopes) {
        const bool fits = job                                      ? scope.job
                          : options.mode == Options::Mode::Write   ? scope.write
                          : options.mode == Options::Mode::MakeJob ? scope.makeJob
                          : options.mode == Options::Mode::Info    ? scope.info
                          : options.mode == Options::Mode::ListPorts ? scope.listPorts
                                                                    : false;
        if (!grammar.parser.isSet(scope.option) || fits)
            continue;
        const QString name = QStringLiteral("--") + scope.option.names().constLast();
        if (job)
            return std::unexpected(Misuse{
                QStringLiteral("%1 does not go with --job: the job fixes what is written; only ports, -q and --trace may be added").arg(name)});
        return std::unexpected(Misuse{options.mode == Options::Mode::Write ? QStringLiteral("%1 goes only with --info or --list-ports").arg(name)
                                                                            : QStringLiteral("%1 does not go with %2").arg(name, mode)});
    }
    if (options.trace != Options::Trace::Off && options.mode != Options::Mode::Write)
        return std::unexpected(Misuse{QStringLiteral("--trace does not go with %1").arg(mode)});
    return {};
}

// --serial-at, --serial-format and --serial-from, all three or none, and
// --serial-over-data only with them.
std::expected<void, Misuse> TakeNumbering(const Grammar &grammar, Options &options)
{
    const QCommandLineOption *const parts[] = {&grammar.serialAt, &grammar.serialFormat, &grammar.serialFrom};
    QStringList given, missing;
    for (const QCommandLineOption *part : parts)
        (grammar.parser.isSet(*part) ? given : missing) << QStringLiteral("--") + part->names().constLast();
    if (given.isEmpty()) {
        if (grammar.parser.isSet(grammar.serialOverData))
            return std::unexpected(Misuse{QStringLiteral("--serial-over-data goes only with --serial-at, --serial-format and --serial-from")});
        return {};
    }
    if (!missing.isEmpty())
        return std::unexpected(Misuse{QStringLiteral("%1 %2 %3 too: a board's own number has a place, a format and a source")
                                          .arg(given.join(QStringLiteral(" and ")), QLatin1String(given.size() == 1 ? "needs" : "need"),
                                               missing.join(QStringLiteral(" and ")))});
    QString values[std::size(parts)];
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        const auto value = OneValue(grammar.parser, *parts[i]);
        if (!value)
            return std::unexpected(value.error());
        values[i] = *value;
    }
    const auto address = ParseAddress(values[0]);
    if (!address)
        return std::unexpected(Misuse{QStringLiteral("--serial-at takes an address, decimal or 0x-hex, not '%1': %2")
                                          .arg(ArgumentDisplay(values[0]), address.error())});
    const auto format = ParseSerialFormat(values[1].toLatin1().toStdString());
    if (!format)
        return std::unexpected(Misuse{QStringLiteral("--serial-format: ") + QString::fromStdString(format.error().text)});
    const auto source = ParseSerialSource(values[2].toLatin1().toStdString());
    if (!source)
        return std::unexpected(Misuse{QStringLiteral("--serial-from: ") + QString::fromStdString(source.error().text)});
    const SerialField field{*address, *format, grammar.parser.isSet(grammar.serialOverData)};
    // Whether it lands on the program's data is known once the file is read.
    if (const auto inside = CheckSerialField(field, {}); !inside)
        return std::unexpected(Misuse{QStringLiteral("--serial-at: ") + QString::fromStdString(inside.error().text)});
    options.numbering = JobNumbering{field, *source};
    return {};
}

// The loader, the report and the TLS files: once each.
std::expected<void, Misuse> TakeFiles(const Grammar &grammar, Options &options)
{
    const auto loaderFile = OneValue(grammar.parser, grammar.loader);
    const auto reportFile = OneValue(grammar.parser, grammar.report);
    for (const auto *value : {&loaderFile, &reportFile}) {
        if (!*value)
            return std::unexpected(value->error());
    }
    options.loader = PathName(loaderFile->toLatin1());
    options.report = PathName(reportFile->toLatin1());
    // A database URL that cannot be used (one with a password) is a mistake
    // in the command, told before anything is read.
    for (const QString *url : {static_cast<const QString *>(&*reportFile), static_cast<const QString *>(&options.database)}) {
        if (!IsDatabaseUrl(url->toStdString()))
            continue;
        if (const auto parsed = ParseDatabaseUrl(url->toStdString()); !parsed)
            return std::unexpected(Misuse{QString::fromStdString(parsed.error().text)});
    }
    for (const auto &[option, value] : {std::pair{&grammar.tlsCa, &options.tlsCa}, {&grammar.tlsCert, &options.tlsCert}, {&grammar.tlsKey, &options.tlsKey}}) {
        const auto file = OneValue(grammar.parser, *option);
        if (!file)
            return std::unexpected(file.error());
        *value = QFile::decodeName(file->toLatin1());
    }
    return {};
}

// The switches, and how the program file is read.
std::expected<void, Misuse> TakeProgramOptions(const Grammar &grammar, Options &options)
{
    options.quiet = grammar.parser.isSet(grammar.quiet);
    options.json = grammar.parser.isSet(grammar.json);
    options.program.verifyChecksums = !grammar.parser.isSet(grammar.ignoreChecksums);
    if (!grammar.parser.isSet(grammar.binaryAt))
        return {};
    const QStringList addresses = grammar.parser.values(grammar.binaryAt);
    if (addresses.size() > 1)
        return std::unexpected(Misuse{QStringLiteral("--binary-at is given twice")});
    const auto address = ParseAddress(addresses[0]);
    if (!address)
        return std::unexpected(Misuse{QStringLiteral("--binary-at takes an address, decimal or 0x-hex, up to 0xFFFFFFFF, not '%1': %2")
                                          .arg(ArgumentDisplay(addresses[0]), address.error())});
    options.program.binaryAt = *address;
    return {};
}

// The whole number a numeric option is given, within `low`..`high`; none
// when it is not given. `takes` says what it takes: "a time in seconds".
std::expected<std::optional<int>, Misuse> OneNumber(const QCommandLineParser &parser, const QCommandLineOption &option, int low, int high,
                                                    const char *takes)
{
    if (!parser.isSet(option))
        return std::nullopt;
    const QString name = QStringLiteral("--") + option.names().constLast();
    const QStringList values = parser.values(option);
    if (values.size() > 1)
        return std::unexpected(Misuse{QStringLiteral("%1 is given twice").arg(name)});
    bool number = false;
    const int value = values[0].toInt(&number);
    if (!number || value < low || value > high)
        return std::unexpected(Misuse{
            QStringLiteral("%1 takes %2 from %3 to %4, not '%5'").arg(name, QLatin1String(takes)).arg(low).arg(high).arg(ArgumentDisplay(values[0]))});
    return value;
}

// --loader-start and --wait-for-board.
std::expected<void, Misuse> TakeTiming(const Grammar &grammar, Options &options)
{
    const auto loaderStart = OneNumber(grammar.parser, grammar.loaderStart, 0, LoaderStartLimitMs, "a time in milliseconds");
    if (!loaderStart)
        return std::unexpected(loaderStart.error());
    options.write.loaderStartMs = loaderStart->value_or(DefaultLoaderStartMs);
    const auto waitForBoard = OneNumber(grammar.parser, grammar.waitForBoard, 1, WaitForBoardLimitS, "a time in seconds");
    if (!waitForBoard)
        return std::unexpected(waitForBoard.error());
    options.write.waitForBoardMs = waitForBoard->value_or(0) * 1000;
    return {};
}

// A sequence option's value: none when it is not given; a misuse by the
// sequence's kind of error, before any port opens.
std::expected<std::optional<LineSequence>, Misuse> TakeSequence(const Grammar &grammar, const QCommandLineOption &option)
{
    const auto text = OneValue(grammar.parser, option);
    if (!text)
        return std::unexpected(text.error());
    if (!grammar.parser.isSet(option))
        return std::nullopt;
    auto sequence = ParseSequence(*text);
    if (!sequence) {
        QString why = QStringLiteral("--%1: %2").arg(option.names().constLast(), sequence.error().text);
        if (const QString hint = SequenceHint(sequence.error().kind); !hint.isEmpty())
            why += QStringLiteral("; ") + hint;
        return std::unexpected(Misuse{why});
    }
    return *sequence;
}

// --boot-entry, --release and --sync-retries: with a boot entry, a few
// retries unless told otherwise.
std::expected<void, Misuse> TakeLines(const Grammar &grammar, Options &options)
{
    const auto entry = TakeSequence(grammar, grammar.bootEntry);
    if (!entry)
        return std::unexpected(entry.error());
    const auto release = TakeSequence(grammar, grammar.release);
    if (!release)
        return std::unexpected(release.error());
    options.write.bootEntry = *entry;
    options.write.release = *release;
    const auto retries = OneNumber(grammar.parser, grammar.syncRetries, 0, SyncRetriesLimit, "a count");
    if (!retries)
        return std::unexpected(retries.error());
    options.write.syncRetries = retries->value_or(options.write.bootEntry ? DefaultSyncRetriesWithEntry : 0);
    return {};
}

// --auto, and --settle and --count, which go only with it.
std::expected<void, Misuse> TakeAutomatic(const Grammar &grammar, Options &options)
{
    options.automatic.on = grammar.parser.isSet(grammar.automatic);
    options.automatic.settleMs = static_cast<int>(DefaultSettle.count());
    for (const auto &[option, value, least, most, what] :
         {std::tuple{&grammar.settle, &options.automatic.settleMs, 0, SettleLimitMs, "a time in milliseconds"},
          std::tuple{&grammar.count, &options.automatic.count, 1, CountLimit, "a number of boards"}}) {
        if (!grammar.parser.isSet(*option))
            continue;
        if (!options.automatic.on)
            return std::unexpected(Misuse{QStringLiteral("--%1 goes only with --auto").arg(option->names().constLast())});
        const auto number = OneNumber(grammar.parser, *option, least, most, what);
        if (!number)
            return std::unexpected(number.error());
        *value = **number;
    }
    return {};
}

}  // namespace

QString SequencesText()
{
    QString text;
    for (const NamedSequence &named : NamedSequences())
        text += QStringLiteral("%1\n    %2\n    %3\n").arg(QLatin1String(named.name), QLatin1String(named.steps), QLatin1String(named.what));
    return text;
}

std::string_view UsageText()
{
    return Usage;
}

QStringList RawArguments(int argc, char **argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLatin1(argv[i]);
    return args;
}

std::expected<Options, Misuse> ParseOptions(QStringList args)
{
    Options options;
    if (const auto taken = TakeTraceOption(args, options); !taken)
        return std::unexpected(taken.error());
    Grammar grammar;
    if (!grammar.parser.parse(args))
        return std::unexpected(ParserMisuse(grammar.parser));
    for (const char *valueOption : ValueOptions) {
        if (ValueIsAnOption(args, QLatin1String(valueOption)))
            return std::unexpected(Misuse{QStringLiteral("missing value after '%1'").arg(QLatin1String(valueOption))});
    }
    if (grammar.parser.isSet(grammar.help) || grammar.parser.isSet(grammar.version)) {
        options.mode = grammar.parser.isSet(grammar.help) ? Options::Mode::Help : Options::Mode::Version;
        return options;
    }
    using Step = std::expected<void, Misuse> (*)(const Grammar &, Options &);
    for (const Step step : {TakeMode, CheckScopes, TakeFiles, TakeProgramOptions, TakeTiming, TakeLines, TakeNumbering, TakeAutomatic}) {
        if (const auto taken = step(grammar, options); !taken)
            return std::unexpected(taken.error());
    }
    if (const auto taken = TakePositional(grammar.parser.positionalArguments(), options); !taken)
        return std::unexpected(taken.error());
    return options;
}

int Misused(const Console &console, const QString &why)
{
    console.Tell(why);
    console.Line(Console::Stream::Err, QStringLiteral("Try 'qw735-write --help' for more information."));
    return ExitUsage;
}

}  // namespace qw735
