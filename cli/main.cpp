// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-write: the command-line front end, for scripts and production lines.
// The last line on stdout is the write's message, exactly as the window shows
// it; the exit status tells the outcome without parsing it.

#include "base/DescriptorLimits.h"
#include "base/PathName.h"
#include "base/StandardDescriptors.h"
#include "cli/Advice.h"
#include "cli/ExitStatus.h"
#include "cli/Mistakes.h"
#include "cli/OutputFiles.h"
#include "cli/ProgramReport.h"
#include "cli/WriteRun.h"
#include "link/PortMap.h"
#include "ports/PortName.h"
#include "production/ProductionRecord.h"
#include "remote/TlsIdentity.h"
#include "trace/WireTrace.h"
#include "writer/FileSystem.h"
#include "writer/Messages.h"
#include "writer/SendImage.h"
#include "writer/WriteTarget.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <expected>
#include <new>
#include <optional>
#include <span>
#include <unistd.h>
#include <utility>

namespace qw735 {
namespace {

// An hour is more than any bench needs to reset a board.
constexpr int WaitForBoardLimitS = 3600;

constexpr const char *Usage =
    "Usage: qw735-write [options] PORT [PORT...] FILE\n"
    "  or:  qw735-write --info [--json] FILE\n"
    "  or:  qw735-write --list-ports [--json]\n"
    "Write FILE into the board on each PORT, all boards at once.\n"
    "\n"
    "FILE is an S-record, Intel HEX or ELF file, told apart by its content;\n"
    "a raw binary file is taken only with --binary-at.\n"
    "\n"
    "PORT is a device path (/dev/ttyUSB0), COM1..COM10 as the windows number them,\n"
    "or rfc2217://HOST:PORT for a board on another machine's serial port\n"
    "(rfc2217+tls://HOST:PORT: the same over TLS, the server's name checked).\n"
    "\n"
    "Options:\n"
    "  --loader FILE      use FILE instead of qw735/tqw735.bin from the data directories\n"
    "  --loader-start MS  wait MS milliseconds (0..3000, default 50) after the end mark\n"
    "                     before the first byte to the loader, while it starts\n"
    "  --wait-for-board SECONDS\n"
    "                     keep synchronising for up to SECONDS (1..3600) until the\n"
    "                     board answers: start the write, then reset the board\n"
    "  -q, --quiet        show no progress\n"
    "  --report FILE      append a JSON record of each board's write to FILE (JSON Lines);\n"
    "                     - for stdout, which then holds the records only\n"
    "  --trace[=FILE]     write every byte on the wire to stderr, or to FILE\n"
    "  --tls-ca FILE      trust only the CA in FILE for rfc2217+tls:// servers\n"
    "                     (default: the system's trusted CAs)\n"
    "  --tls-cert FILE    the client certificate for rfc2217+tls:// servers\n"
    "  --tls-key FILE     its private key (PEM, no passphrase)\n"
    "  --info             summarize the image; open no port\n"
    "  --binary-at ADDRESS  read FILE as raw bytes from ADDRESS (decimal or 0x-hex)\n"
    "  --ignore-checksums   take records whose checksum is wrong as they stand\n"
    "  --list-ports       list every serial device: Com number, stable names, USB\n"
    "                     identity, latency timer, and which process has it open\n"
    "  --json             with --info: print one JSON object; with --list-ports: one\n"
    "                     JSON array\n"
    "  -h, --help         show this text\n"
    "  -V, --version      show the version\n";

struct Options {
    enum class Mode { Write, Info, ListPorts, Help, Version } mode = Mode::Write;
    // As the bytes given: a name need not be valid UTF-8 to be opened.
    QList<QByteArray> ports;
    PathName file;
    PathName loader;
    PathName report;
    enum class Trace { Off, ToStderr, ToFile } trace = Trace::Off;
    PathName traceFile;
    bool quiet = false;
    bool json = false;
    WriteTiming timing;      // --loader-start, --wait-for-board
    ProgramOptions program;  // --binary-at, --ignore-checksums
    // rfc2217+tls://: the CA to trust, the client's certificate and key.
    QString tlsCa, tlsCert, tlsKey;
};

// The arguments with every byte as one Latin-1 character. Options are plain
// ASCII, so they parse the same; names come back byte for byte through
// toLatin1(), where decoding them as UTF-8 would replace every byte that is
// not valid UTF-8 and name a file that does not exist.
QStringList RawArguments(int argc, char **argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLatin1(argv[i]);
    return args;
}

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

// A command line that asks for nothing this program does: the program ends
// with ExitUsage, after `why` and a pointer to --help.
struct Misuse {
    QString why;
};

int Misused(const QString &why)
{
    std::fprintf(stderr, "qw735-write: %s\nTry 'qw735-write --help' for more information.\n", why.toLocal8Bit().constData());
    return ExitUsage;
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
    case Options::Mode::ListPorts:
        if (!positional.isEmpty())
            return std::unexpected(Misuse{QStringLiteral("--list-ports takes no PORT or FILE: leave out %1").arg(shown.join(u' '))});
        return {};
    case Options::Mode::Help:
    case Options::Mode::Version: return {};
    }
    std::unreachable();
}

std::expected<Options, Misuse> ParseOptions(QStringList args)
{
    Options options;
    if (const auto taken = TakeTraceOption(args, options); !taken)
        return std::unexpected(taken.error());
    QCommandLineParser parser;
    const QCommandLineOption loader(QStringLiteral("loader"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption loaderStart(QStringLiteral("loader-start"), QString(), QStringLiteral("MS"));
    const QCommandLineOption waitForBoard(QStringLiteral("wait-for-board"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption quiet(QStringList{QStringLiteral("q"), QStringLiteral("quiet")});
    const QCommandLineOption report(QStringLiteral("report"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption info(QStringLiteral("info"));
    const QCommandLineOption listPorts(QStringLiteral("list-ports"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("V"), QStringLiteral("version")});
    const QCommandLineOption tlsCa(QStringLiteral("tls-ca"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption tlsCert(QStringLiteral("tls-cert"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"), QString(), QStringLiteral("FILE"));
    parser.addOptions({loader, loaderStart, waitForBoard, quiet, report, info, listPorts, json, help, version, tlsCa, tlsCert, tlsKey});
    // How the program file is read.
    const QCommandLineOption binaryAt(QStringLiteral("binary-at"), QString(), QStringLiteral("ADDRESS"));
    const QCommandLineOption ignoreChecksums(QStringLiteral("ignore-checksums"));
    parser.addOptions({binaryAt, ignoreChecksums});
    if (!parser.parse(args))
        return std::unexpected(ParserMisuse(parser));
    for (const char *valueOption : {"--loader", "--report", "--loader-start", "--wait-for-board", "--binary-at", "--tls-ca", "--tls-cert", "--tls-key"}) {
        if (ValueIsAnOption(args, QLatin1String(valueOption)))
            return std::unexpected(Misuse{QStringLiteral("missing value after '%1'").arg(QLatin1String(valueOption))});
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        options.mode = parser.isSet(help) ? Options::Mode::Help : Options::Mode::Version;
        return options;
    }

    if (parser.isSet(info) && parser.isSet(listPorts))
        return std::unexpected(Misuse{QStringLiteral("--info and --list-ports do not go together")});
    if (parser.isSet(info))
        options.mode = Options::Mode::Info;
    else if (parser.isSet(listPorts))
        options.mode = Options::Mode::ListPorts;
    // What goes with which run: a write takes every option but --json,
    // --info those that say how the program file is read, --list-ports only
    // --json. -q goes with any: there is simply no progress to hide.
    const struct {
        const QCommandLineOption &option;
        bool write, info, listPorts;
    } scopes[] = {
        {loader, true, false, false},  {loaderStart, true, false, false}, {waitForBoard, true, false, false},
        {report, true, false, false},
        {tlsCa, true, false, false},   {tlsCert, true, false, false},     {tlsKey, true, false, false},
        {binaryAt, true, true, false}, {ignoreChecksums, true, true, false}, {json, false, true, true},
    };
    const QString mode = options.mode == Options::Mode::Info ? QStringLiteral("--info") : QStringLiteral("--list-ports");
    for (const auto &scope : scopes) {
        const bool fits = options.mode == Options::Mode::Write ? scope.write : options.mode == Options::Mode::Info ? scope.info : scope.listPorts;
        const QString name = QStringLiteral("--") + scope.option.names().constLast();
        if (parser.isSet(scope.option) && !fits)
            return std::unexpected(Misuse{options.mode == Options::Mode::Write ? QStringLiteral("%1 goes only with --info or --list-ports").arg(name)
                                                                                : QStringLiteral("%1 does not go with %2").arg(name, mode)});
    }
    if (options.trace != Options::Trace::Off && options.mode != Options::Mode::Write)
        return std::unexpected(Misuse{QStringLiteral("--trace does not go with %1").arg(mode)});

    const auto loaderFile = OneValue(parser, loader);
    const auto reportFile = OneValue(parser, report);
    for (const auto *value : {&loaderFile, &reportFile}) {
        if (!*value)
            return std::unexpected(value->error());
    }
    options.loader = PathName(loaderFile->toLatin1());
    options.report = PathName(reportFile->toLatin1());
    // The TLS files: once each.
    for (const auto &[option, value] : {std::pair{&tlsCa, &options.tlsCa}, {&tlsCert, &options.tlsCert}, {&tlsKey, &options.tlsKey}}) {
        const auto file = OneValue(parser, *option);
        if (!file)
            return std::unexpected(file.error());
        *value = QFile::decodeName(file->toLatin1());
    }
    options.quiet = parser.isSet(quiet);
    options.json = parser.isSet(json);
    options.program.verifyChecksums = !parser.isSet(ignoreChecksums);
    if (parser.isSet(binaryAt)) {
        const QStringList addresses = parser.values(binaryAt);
        if (addresses.size() > 1)
            return std::unexpected(Misuse{QStringLiteral("--binary-at is given twice")});
        const auto address = ParseAddress(addresses[0]);
        if (!address)
            return std::unexpected(Misuse{QStringLiteral("--binary-at takes an address, decimal or 0x-hex, up to 0xFFFFFFFF, not '%1': %2")
                                              .arg(ArgumentDisplay(addresses[0]), address.error())});
        options.program.binaryAt = *address;
    }
    if (parser.isSet(loaderStart)) {
        const QStringList values = parser.values(loaderStart);
        if (values.size() > 1)
            return std::unexpected(Misuse{QStringLiteral("--loader-start is given twice")});
        bool number = false;
        options.timing.loaderStartMs = values[0].toInt(&number);
        if (!number || options.timing.loaderStartMs < 0 || options.timing.loaderStartMs > LoaderStartLimitMs)
            return std::unexpected(Misuse{QStringLiteral("--loader-start takes a time in milliseconds from 0 to %1, not '%2'")
                                              .arg(LoaderStartLimitMs)
                                              .arg(ArgumentDisplay(values[0]))});
    }
    if (parser.isSet(waitForBoard)) {
        const QStringList values = parser.values(waitForBoard);
        if (values.size() > 1)
            return std::unexpected(Misuse{QStringLiteral("--wait-for-board is given twice")});
        bool number = false;
        const int seconds = values[0].toInt(&number);
        if (!number || seconds < 1 || seconds > WaitForBoardLimitS)
            return std::unexpected(Misuse{QStringLiteral("--wait-for-board takes a time in seconds from 1 to %1, not '%2'")
                                              .arg(WaitForBoardLimitS)
                                              .arg(ArgumentDisplay(values[0]))});
        options.timing.waitForBoardMs = seconds * 1000;
    }
    if (const auto taken = TakePositional(parser.positionalArguments(), options); !taken)
        return std::unexpected(taken.error());
    return options;
}

// In a catch block: says on stderr why the writer failed, and `what` more.
// Only fixed texts: memory may have run out.
void ReportFailure(const char *what)
{
    try {
        throw;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "qw735-write: out of memory%s\n", what);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "qw735-write: %s%s\n", error.what(), what);
    } catch (...) {
        std::fprintf(stderr, "qw735-write: failed%s\n", what);
    }
}

// The TLS files are used by rfc2217+tls:// ports only. Given with no such
// port they would be read and then not used: a board meant to be written
// over TLS would be written in clear, without a word.
std::optional<QString> TlsWithoutTlsPort(const Options &options, std::span<const PortName> ports)
{
    QStringList given;
    for (const auto &[name, file] : {std::pair{"--tls-ca", &options.tlsCa}, {"--tls-cert", &options.tlsCert}, {"--tls-key", &options.tlsKey}}) {
        if (!file->isEmpty())
            given << QLatin1String(name);
    }
    if (given.isEmpty() || std::ranges::any_of(ports, &PortName::IsTls))
        return std::nullopt;
    const QString last = given.takeLast();
    const QString named = given.isEmpty() ? last + QStringLiteral(" goes") : given.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last + QStringLiteral(" go");
    for (const PortName &port : ports) {
        if (port.IsRemote())
            return QStringLiteral("%1 only with rfc2217+tls:// ports, and %2 is plain RFC 2217, written in clear: write rfc2217+tls://%3 to use TLS")
                .arg(named, PathDisplay(port.Text()), PathDisplay(port.Text().section(QStringLiteral("://"), 1)));
    }
    return QStringLiteral("%1 only with rfc2217+tls:// ports, and none is given: leave %2 out for a local port")
        .arg(named, given.isEmpty() ? QStringLiteral("it") : QStringLiteral("them"));
}

int Write(const Options &options)
{
    const FileSystem fileSystem;
    const PathName loaderPath = options.loader.IsEmpty() ? PathName(QFile::encodeName(fileSystem.LoaderPath())) : options.loader;
    // Arguments in the wrong order are told before anything is read or
    // opened, with what was probably meant.
    if (const auto misplaced = MisplacedArgument(options.ports, options.file, loaderPath))
        return Misused(*misplaced);
    std::vector<PortName> ports;
    for (const QByteArray &port : options.ports) {
        auto name = PortName::Parse(PathString(port));  // every byte kept
        if (!name)
            return Misused(name.error());
        ports.push_back(std::move(*name));
    }
    if (const auto misuse = TlsWithoutTlsPort(options, ports))
        return Misused(*misuse);
    // The certificates are read before anything is held: a file that cannot
    // be used is a mistake in the command, like a bad report path. Without
    // them nothing here touches the TLS library, which a write through a
    // local port has no use for.
    std::optional<TlsIdentity> tls;
    if (!options.tlsCa.isEmpty() || !options.tlsCert.isEmpty() || !options.tlsKey.isEmpty()) {
        auto identity = LoadTlsIdentity(options.tlsCa, options.tlsCert, options.tlsKey);
        if (!identity) {
            std::fprintf(stderr, "qw735-write: %s\n", qPrintable(identity.error()));
            return ExitUsage;
        }
        tls = std::move(*identity);
        if (const QString warning = OpenKeyWarning(options.tlsKey); !warning.isEmpty())
            std::fprintf(stderr, "qw735-write: %s\n", warning.toLocal8Bit().constData());
    }
    // Two writes through one device would corrupt both boards' writes.
    if (const auto distinct = CheckDistinctDevices(ports); !distinct) {
        std::fprintf(stderr, "qw735-write: %s\n", qPrintable(distinct.error()));
        return ExitUsage;
    }

    // Enough descriptors for every board, or a word before anything starts:
    // running out midway would leave boards half-written.
    if (const auto raised = RaiseDescriptorLimit(GangWrite::DescriptorsNeeded(static_cast<int>(ports.size()))); !raised) {
        std::fprintf(stderr, "qw735-write: %s\n", qPrintable(raised.error()));
        return ExitInternal;
    }

    // Both files are read before anything is held: no port, no lock, no
    // signal handling of our own. Reading a pipe waits for its writer, and
    // whatever the files are, Ctrl-C ends the wait as for any program.
    const auto input = ReadWriteInput(options.file, loaderPath, InputReader::Interruptible, options.program);
    if (!input) {
        PrintLine(input.error().message);
        PrintInputAdvice(input.error(), options.file, loaderPath);
        return ExitStatusOf(input.error().outcome);
    }
    PrintInputNotes(input->summary, options.file.Display());
    // Unlike the window, which says so after the handshake as it always
    // did, the command line knows before it opens a port; scripts still
    // find the same last line.
    if (!input->loader) {
        std::fputs(qPrintable(LoaderProblem(options.loader, fileSystem.Candidates())), stderr);
        PrintLine(QString::fromLatin1(MessageLoaderMissing));
        return ExitLoaderUnusable;
    }

    // The record and the trace go to files that must open before any port
    // does: a bad path, or one that names an input, stops the run before a
    // board hears a byte.
    auto outputs = OpenRunOutputs({options.file, loaderPath, options.report, options.trace != Options::Trace::Off, options.traceFile});
    if (!outputs) {
        std::fprintf(stderr, "qw735-write: %s\n", qPrintable(outputs.error()));
        return ExitUsage;
    }
    const RecordedProgram program = RecordedProgramOf(options.file.Display(), *input);

    WriteRun run({std::move(ports), std::move(tls), options.quiet, &*outputs, &program},
                 [&input, &options](Link &link, StepTracker &steps) { return WriteTarget(link, *input, steps, options.timing); });
    try {
        return run.Run();
    } catch (...) {
        ReportFailure("; the write stopped, the board is not fully written");
        return ExitInternal;
    }
}

using SignalHandler = void (*)(int);

// `inheritedPipe`: how SIGPIPE was handled when the program started.
int Run(int argc, char **argv, SignalHandler inheritedPipe)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QW735_VERSION));
    const auto options = ParseOptions(RawArguments(argc, argv));
    if (!options)
        return Misused(options.error().why);
    // What only prints ends as any filter does when its reader goes away
    // (qw735-write --list-ports | head -1); nothing is held that a signal
    // could leave behind.
    if (options->mode != Options::Mode::Write)
        std::signal(SIGPIPE, inheritedPipe);
    switch (options->mode) {
    case Options::Mode::Help:
        std::fputs(Usage, stdout);
        return StdoutStatus(ExitOk);
    case Options::Mode::Version:
        PrintLine(QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion());
        return StdoutStatus(ExitOk);
    case Options::Mode::ListPorts: return StdoutStatus(PrintPortList(options->json));
    case Options::Mode::Info:
        return StdoutStatus(PrintProgramInfo(options->file, options->program, options->json, PathName(QFile::encodeName(FileSystem().LoaderPath()))));
    case Options::Mode::Write: break;
    }
    return Write(*options);
}

}  // namespace
}  // namespace qw735

int main(int argc, char **argv)
{
    if (!qw735::OpenStandardDescriptors())
        return qw735::ExitInternal;
    // A reader that went away (qw735-write ... 2>&1 | head -1) makes writes
    // to stdout or stderr fail; that must never end a write, not even at a
    // warning about the program file, before any port is open.
    const auto inheritedPipe = std::signal(SIGPIPE, SIG_IGN);
    // A file size limit reached by the report, the trace or an output the
    // user asked for is a write that fails, said and counted like a full
    // disk, not the end of the writer.
    std::signal(SIGXFSZ, SIG_IGN);
    // Whatever fails, no exception leaves main: the port, if it was open,
    // is closed on the way here, and a line says why.
    try {
        return qw735::Run(argc, argv, inheritedPipe);
    } catch (...) {
        qw735::ReportFailure("");
    }
    return qw735::ExitInternal;
}
