// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-write: the command-line front end, for scripts and production lines.
// The last line on stdout is the write's message, exactly as the window shows
// it; the exit status tells the outcome without parsing it.

#include "cli/TerminalProgress.h"
#include "image/SRecordImage.h"
#include "link/EventPump.h"
#include "link/Link.h"
#include "link/PortMap.h"
#include "link/PortName.h"
#include "link/PortSettings.h"
#include "link/ProcessGuards.h"
#include "writer/FileSystem.h"
#include "writer/SendImage.h"
#include "writer/WriteTarget.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <unistd.h>

namespace qw735 {
namespace {

// Exit statuses, one per way a write can end.
enum ExitStatus {
    ExitOk = 0,
    ExitHandshakeFailed = 1,
    ExitLoaderNoReply = 2,
    ExitLoaderWrongReply = 3,
    ExitLoaderUnusable = 4,  // missing, empty or too large
    ExitImageNoReply = 5,
    ExitImageWrongReply = 6,
    ExitSRecordFailed = 7,
    ExitPortFailed = 8,      // cannot be opened, or lost mid-write
    ExitUsage = 64,
    ExitInternal = 70,       // the writer itself failed
};

constexpr const char *Usage =
    "usage: qw735-write [--loader FILE] [--quiet] PORT FILE.mot   write FILE.mot through PORT\n"
    "       qw735-write --info FILE.mot                           summarize the image; opens no port\n"
    "       qw735-write --list-ports                              show COM1..COM10 and their devices\n"
    "\n"
    "PORT is a device path (/dev/ttyUSB0), COM1..COM10 as the windows number them,\n"
    "or rfc2217://HOST:PORT for a board on another machine's serial port.\n"
    "--loader FILE uses FILE instead of qw735/tqw735.bin from the data directories.\n"
    "--quiet       shows no progress.\n"
    "--help        shows this text.\n";

int ExitStatusOf(WriteOutcome outcome)
{
    switch (outcome) {
    case WriteOutcome::Ok: return ExitOk;
    case WriteOutcome::HandshakeFailed: return ExitHandshakeFailed;
    case WriteOutcome::LoaderNoReply: return ExitLoaderNoReply;
    case WriteOutcome::LoaderWrongReply: return ExitLoaderWrongReply;
    case WriteOutcome::LoaderMissing:
    case WriteOutcome::LoaderTooLarge: return ExitLoaderUnusable;
    case WriteOutcome::ImageNoReply: return ExitImageNoReply;
    case WriteOutcome::ImageWrongReply: return ExitImageWrongReply;
    case WriteOutcome::SRecordFailed: return ExitSRecordFailed;
    case WriteOutcome::PortLost: return ExitPortFailed;
    case WriteOutcome::Abandoned: return ExitInternal;  // not reached: a signal ends the process
    }
    return ExitPortFailed;
}

struct Options {
    enum class Mode { Write, Info, ListPorts, Help, Version } mode = Mode::Write;
    // As the bytes given: a name need not be valid UTF-8 to be opened.
    QByteArray port;
    QByteArray file;
    QByteArray loader;
    bool quiet = false;
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

// True when a value-taking option is followed by another option instead of
// its value ("--loader --quiet PORT F"): the option was most likely given
// without its value, and taking the next option as a file name would only
// hide that. A file whose name starts with '-' can be given as ./-name.
bool ValueIsAnOption(const QStringList &args, const QString &valueOption)
{
    for (qsizetype i = 1; i + 1 < args.size() && args[i] != u"--"; ++i) {
        const QString &next = args[i + 1];
        if (args[i] == valueOption && next.startsWith(u'-') && next != u"-")
            return true;
    }
    return false;
}

std::optional<Options> ParseOptions(const QStringList &args)
{
    QCommandLineParser parser;
    const QCommandLineOption loader(QStringLiteral("loader"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    const QCommandLineOption info(QStringLiteral("info"));
    const QCommandLineOption listPorts(QStringLiteral("list-ports"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({loader, quiet, info, listPorts, help, version});
    if (!parser.parse(args) || ValueIsAnOption(args, QStringLiteral("--loader")))
        return std::nullopt;

    Options options;
    if (parser.isSet(help) || parser.isSet(version)) {
        options.mode = parser.isSet(help) ? Options::Mode::Help : Options::Mode::Version;
        return options;
    }
    if (parser.isSet(info) && parser.isSet(listPorts))
        return std::nullopt;
    if (parser.isSet(info))
        options.mode = Options::Mode::Info;
    else if (parser.isSet(listPorts))
        options.mode = Options::Mode::ListPorts;
    const QStringList loaders = parser.values(loader);
    if (loaders.size() > 1 || (loaders.size() == 1 && loaders[0].isEmpty()))
        return std::nullopt;
    options.loader = loaders.value(0).toLatin1();
    options.quiet = parser.isSet(quiet);

    const QStringList positional = parser.positionalArguments();
    switch (options.mode) {
    case Options::Mode::Write:
        if (positional.size() != 2)
            return std::nullopt;
        options.port = positional[0].toLatin1();
        options.file = positional[1].toLatin1();
        break;
    case Options::Mode::Info:
        if (positional.size() != 1 || parser.isSet(loader) || options.quiet)
            return std::nullopt;
        options.file = positional[0].toLatin1();
        break;
    case Options::Mode::ListPorts:
        if (!positional.isEmpty() || parser.isSet(loader) || options.quiet)
            return std::nullopt;
        break;
    case Options::Mode::Help:
    case Options::Mode::Version:
        break;
    }
    return options;
}

void PrintLine(const QString &text)
{
    std::printf("%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

int ListPorts()
{
    const QStringList devices = SystemComDevices();
    for (int number = 1; number <= ComPortCount; ++number)
        PrintLine(QStringLiteral("%1\t%2").arg(ComName(number), devices.value(number - 1, QStringLiteral("-"))));
    return ExitOk;
}

int Info(const QByteArray &file)
{
    SRecordImage image;
    if (const auto message = ReadSRecordFile(file, image, InputReader::Interruptible)) {
        PrintLine(*message);
        return ExitSRecordFailed;
    }
    const std::int32_t size = TransferSize(image.MaxAddress);
    const std::uint8_t checksum = ImageChecksum(std::span(image.ImageBuffer.data(), static_cast<std::size_t>(size)));
    std::printf("highest loaded address  0x%05X\n", static_cast<unsigned>(image.MaxAddress));
    std::printf("transfer size           %d bytes, %d blocks of %d\n", size, size / BlockSize, BlockSize);
    std::printf("checksum byte           0x%02X\n", checksum);
    return ExitOk;
}

// The write's message is printed from its result once the port is closed:
// printing may block or fail (a stalled or closed pipe), and the port must
// not wait for that.
class MessageAfterClose : public MessageBox {
public:
    void Show(const QString &) override {}
};

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

int Write(const Options &options)
{
    auto line = TransportForPort(QFile::decodeName(options.port));
    if (!line) {
        std::fprintf(stderr, "qw735-write: %s\n%s", qPrintable(line.error()), Usage);
        return ExitUsage;
    }

    // Both files are read before anything is held: no port, no lock, no
    // signal handling of our own. Reading a pipe waits for its writer, and
    // whatever the files are, Ctrl-C ends the wait as for any program.
    const QByteArray loaderPath = options.loader.isEmpty() ? QFile::encodeName(FileSystem().LoaderPath()) : options.loader;
    const auto input = ReadWriteInput(options.file, loaderPath, InputReader::Interruptible);
    if (!input) {
        PrintLine(input.error().message);
        return ExitStatusOf(input.error().outcome);
    }

    // A reader that went away (qw735-write ... | head -1) makes writes to
    // stdout or stderr fail; that must never end a write midway.
    std::signal(SIGPIPE, SIG_IGN);
    std::optional<TerminalProgress> terminal;
    NoProgress silent;
    if (!options.quiet)
        terminal.emplace(stderr, ::isatty(STDERR_FILENO) != 0);
    ProgressDisplay &progress = terminal ? static_cast<ProgressDisplay &>(*terminal) : silent;

    WriteResult result;
    bool opened = false;
    int endedBy = 0;
    {
        // While the port is held, a signal that ends the program ends the
        // write from its waits instead: the port is closed (the lock
        // released, its line settings restored) before the process ends.
        EndingSignals ending;
        ByteTransport &port = **line;
        port.ChangeSettings(QString::fromLatin1(BootSettings));
        QtEventPump pump;
        Link link(port, pump);
        QObject::connect(&ending, &EndingSignals::Received, &link, [&link] { link.Abandon(); });
        if (const auto open = port.Open(); !open) {
            // Opening a remote port waits for its server, and a signal ends
            // that wait too.
            result = link.Abandoned() ? WriteResult{WriteOutcome::Abandoned, {}} : WriteResult{WriteOutcome::PortLost, open.error()};
        } else {
            opened = true;
            if (ending.Caught())
                link.Abandon();
            MessageAfterClose message;
            try {
                result = WriteTarget(link, *input, progress, message);
            } catch (...) {
                port.Close();
                ReportFailure("; the write stopped, the board is not fully written");
                return ExitInternal;
            }
            port.Close();
        }
        endedBy = ending.Caught();
    }

    if (terminal)
        terminal->Finish();
    if (result.outcome == WriteOutcome::Abandoned && !opened)
        std::fprintf(stderr, "qw735-write: ended by %s while opening %s; nothing was sent\n", EndingSignals::Name(endedBy),
                     qPrintable((**line).Describe()));
    else if (result.outcome == WriteOutcome::Abandoned)
        std::fprintf(stderr, "qw735-write: ended by %s; the board is not fully written\n", EndingSignals::Name(endedBy));
    else
        PrintLine(result.message);
    if (endedBy)
        EndingSignals::EndBy(endedBy);
    return ExitStatusOf(result.outcome);
}

int Run(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QW735_VERSION));
    const auto options = ParseOptions(RawArguments(argc, argv));
    if (!options) {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }
    switch (options->mode) {
    case Options::Mode::Help:
        std::fputs(Usage, stdout);
        return ExitOk;
    case Options::Mode::Version:
        PrintLine(QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion());
        return ExitOk;
    case Options::Mode::ListPorts: return ListPorts();
    case Options::Mode::Info: return Info(options->file);
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
    // Whatever fails, no exception leaves main: the port, if it was open,
    // is closed on the way here, and a line says why.
    try {
        return qw735::Run(argc, argv);
    } catch (...) {
        qw735::ReportFailure("");
    }
    return qw735::ExitInternal;
}
