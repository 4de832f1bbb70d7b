// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-write: the command-line front end, for scripts and production lines.
// The last line on stdout is the write's message, exactly as the window shows
// it; the exit status tells the outcome without parsing it.

#include "base/PathName.h"
#include "base/StandardDescriptors.h"
#include "cli/Console.h"
#include "cli/DatabaseRun.h"
#include "production/ExitStatus.h"
#include "cli/JobRun.h"
#include "cli/Options.h"
#include "cli/PortList.h"
#include "cli/ProgramReport.h"
#include "cli/RunSetup.h"
#include "writer/FileSystem.h"

#include <QCoreApplication>
#include <QFile>
#include <csignal>
#include <string>

namespace qw735 {
namespace {

using SignalHandler = void (*)(int);

// `inheritedPipe`: how SIGPIPE was handled when the program started.
int Run(int argc, char **argv, SignalHandler inheritedPipe)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QW735_VERSION));
    const Console console;
    const auto options = ParseOptions(RawArguments(argc, argv));
    if (!options)
        return Misused(console, options.error().why);
    // What only prints ends as any filter does when its reader goes away
    // (qw735-write --list-ports | head -1); nothing is held that a signal
    // could leave behind.
    if (options->mode != Options::Mode::Write)
        std::signal(SIGPIPE, inheritedPipe);
    switch (options->mode) {
    case Options::Mode::Help:
        console.Put(Console::Stream::Out, std::string(UsageText()));
        return Console::StdoutStatus(ExitOk);
    case Options::Mode::Version:
        console.Out(QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion());
        return Console::StdoutStatus(ExitOk);
    case Options::Mode::ListPorts: return Console::StdoutStatus(PrintPortList(console, options->json));
    case Options::Mode::ListSequences:
        console.Put(Console::Stream::Out, SequencesText().toStdString());
        return Console::StdoutStatus(ExitOk);
    case Options::Mode::Info:
        return Console::StdoutStatus(
            PrintProgramInfo(console, options->file, options->program, options->json, PathName(QFile::encodeName(FileSystem().LoaderPath())),
                             options->numbering));
    case Options::Mode::MakeJob: return Console::StdoutStatus(RunMakeJob(*options, console));
    case Options::Mode::InitDatabase: return Console::StdoutStatus(RunInitDatabase(*options, console));
    case Options::Mode::SendRecords: return Console::StdoutStatus(RunSendRecords(*options, console));
    case Options::Mode::Write: break;
    }
    return RunWrite(*options, console);
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
