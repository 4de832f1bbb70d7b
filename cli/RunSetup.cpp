// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/RunSetup.h"

#include "base/DescriptorLimits.h"
#include "base/PathName.h"
#include "cli/AutoWriteRun.h"
#include "cli/Console.h"
#include "production/ExitStatus.h"
#include "cli/Hints.h"
#include "cli/JobRun.h"
#include "cli/Mistakes.h"
#include "cli/Options.h"
#include "cli/OutputFiles.h"
#include "cli/ProgramReport.h"
#include "cli/WriteRun.h"
#include "ports/PortName.h"
#include "production/JobWrite.h"
#include "production/ProductionRecord.h"
#include "remote/TlsIdentity.h"
#include "writer/FileSystem.h"
#include "writer/Messages.h"

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace qw735 {

namespace {

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

// The ports as given, or the exit status of a command that cannot mean them.
std::expected<std::vector<PortName>, int> PortsOf(const Options &options, const Console &console)
{
    std::vector<PortName> ports;
    for (const QByteArray &port : options.ports) {
        auto name = PortName::Parse(PathString(port));  // every byte kept
        if (!name)
            return std::unexpected(Misused(console, name.error()));
        ports.push_back(std::move(*name));
    }
    if (const auto misuse = TlsWithoutTlsPort(options, ports))
        return std::unexpected(Misused(console, *misuse));
    return ports;
}

// The slots of --auto, or the exit status of a command that cannot mean
// them. `ports`: each slot as a PORT, for the checks a PORT has.
std::expected<std::vector<Slot>, int> SlotsOf(const Options &options, const Console &console, std::vector<PortName> &ports)
{
    QStringList texts;
    for (const QByteArray &slot : options.ports)
        texts << PathString(slot);  // every byte kept
    auto named = ParseSlots(texts);
    if (!named)
        return std::unexpected(Misused(console, named.error().text));
    for (const Slot &slot : *named) {
        if (auto port = PortName::Parse(slot.Text()))
            ports.push_back(std::move(*port));
    }
    if (const auto misuse = TlsWithoutTlsPort(options, ports))
        return std::unexpected(Misused(console, *misuse));
    return std::move(*named);
}

// The certificates are read before anything is held: a file that cannot be
// used is a mistake in the command, like a bad report path. Without them
// nothing here touches the TLS library, which a write through a local port
// has no use for.
std::expected<std::optional<TlsIdentity>, int> TlsIdentityOf(const Options &options, const Console &console)
{
    if (options.tlsCa.isEmpty() && options.tlsCert.isEmpty() && options.tlsKey.isEmpty())
        return std::optional<TlsIdentity>();
    auto identity = LoadTlsIdentity(options.tlsCa, options.tlsCert, options.tlsKey);
    if (!identity) {
        console.Tell(identity.error());
        return std::unexpected(ExitUsage);
    }
    if (const QString warning = OpenKeyWarning(options.tlsKey); !warning.isEmpty())
        console.Tell(warning);
    return std::optional<TlsIdentity>(std::move(*identity));
}

// A port for each board, and the descriptors for all of them.
std::expected<void, int> CheckRoomForBoards(std::span<const PortName> ports, const Console &console)
{
    // Two writes through one device would corrupt both boards' writes.
    if (const auto distinct = CheckDistinctDevices(ports); !distinct) {
        console.Tell(distinct.error());
        return std::unexpected(ExitUsage);
    }
    // Enough descriptors for every board, or a word before anything starts:
    // running out midway would leave boards half-written.
    if (const auto raised = RaiseDescriptorLimit(GangWrite::DescriptorsNeeded(static_cast<int>(ports.size()))); !raised) {
        console.Tell(raised.error());
        return std::unexpected(ExitInternal);
    }
    return {};
}

// The descriptors for a board on every slot at once, and the watcher's.
std::expected<void, int> RoomForSlots(int count, const Console &console)
{
    if (const auto raised = RaiseDescriptorLimit(GangWrite::DescriptorsNeeded(count) + 1); !raised) {
        console.Tell(raised.error());
        return std::unexpected(ExitInternal);
    }
    return {};
}

}  // namespace

// Both files are read before anything is held: no port, no lock, no signal
// handling of our own. Reading a pipe waits for its writer, and whatever
// the files are, Ctrl-C ends the wait as for any program.
std::expected<WriteInput, int> ReadRunInput(const Options &options, const PathName &loaderPath, const FileSystem &fileSystem, const Console &console)
{
    auto input = ReadWriteInput(options.file, loaderPath, InputReader::Interruptible, options.program);
    if (!input) {
        console.Out(input.error().message);
        if (const QString hint = ProgramFileHint(input.error(), options.file, loaderPath); !hint.isEmpty())
            console.Tell(hint);
        return std::unexpected(ExitStatusOf(input.error().outcome));
    }
    PrintInputNotes(console, input->summary, options.file.Display());
    // The window tells a missing loader after the handshake, where the
    // loader's transfer finds it; the command line knows before it opens a
    // port, and scripts still find the same last line.
    if (!input->loader) {
        TellLoaderProblem(console, options.loader, fileSystem.Candidates());
        console.Out(QString::fromLatin1(MessageLoaderMissing));
        return std::unexpected(ExitLoaderUnusable);
    }
    return std::move(*input);
}

int RunWrite(const Options &given, const Console &console)
{
    const auto job = ApplyJob(given, console);
    if (!job)
        return job.error();
    const Options &options = job->first;
    const FileSystem fileSystem;
    const PathName loaderPath = options.loader.IsEmpty() ? PathName(QFile::encodeName(fileSystem.LoaderPath())) : options.loader;
    // Arguments in the wrong order are told before anything is read or
    // opened, with what was probably meant.
    if (const auto misplaced = MisplacedArgument(options.ports, options.file, loaderPath))
        return Misused(console, *misplaced);
    std::vector<Slot> slotList;
    std::expected<std::vector<PortName>, int> givenPorts;
    if (options.automatic.on) {
        auto parsed = SlotsOf(options, console, *givenPorts);
        if (!parsed)
            return parsed.error();
        slotList = std::move(*parsed);
    } else {
        givenPorts = PortsOf(options, console);
        if (!givenPorts)
            return givenPorts.error();
    }
    auto identity = TlsIdentityOf(options, console);
    if (!identity)
        return identity.error();
    // A slot is no port yet: what two slots lead to is told as devices
    // appear, and each slot writes one board at a time.
    if (const auto room = options.automatic.on ? RoomForSlots(static_cast<int>(slotList.size()), console) : CheckRoomForBoards(*givenPorts, console); !room)
        return room.error();
    const auto input = ReadRunInput(options, loaderPath, fileSystem, console);
    if (!input)
        return input.error();
    // The job's approval is checked and the numbering opened before any
    // port does.
    auto prepared = PreparedRun::Prepare(options.file.Display(), loaderPath.Display(), *input, job->second, options.numbering, options.write);
    if (!prepared) {
        console.Tell(prepared.error().text);
        return ExitUsage;
    }
    const RecordedProgram &program = (*prepared)->Program();
    const WriteOptions &write = (*prepared)->Write();

    // The record and the trace go to files that must open before any port
    // does: a bad path, or one that names an input, stops the run before a
    // board hears a byte.
    auto outputs = OpenRunOutputs({options.file, loaderPath, options.report, options.trace != Options::Trace::Off, options.traceFile});
    if (!outputs) {
        console.Tell(outputs.error());
        return ExitUsage;
    }
    if (!outputs->recordsNote.isEmpty())
        console.Tell(outputs->recordsNote);
    std::optional<TlsIdentity> tls = std::move(*identity);
    if (options.automatic.on) {
        AutoSettings settings{.watch = {.settle = std::chrono::milliseconds(options.automatic.settleMs)}, .count = options.automatic.count};
        AutoWriteRun run({std::move(slotList), std::move(settings), {std::move(tls), options.quiet, &*outputs, &program, &*input, write}});
        try {
            return run.Run();
        } catch (...) {
            ReportFailure("; the run stopped, the boards being written are not fully written");
            return ExitInternal;
        }
    }
    std::vector<PortName> ports = std::move(*givenPorts);

    WriteRun run({std::move(ports), {std::move(tls), options.quiet, &*outputs, &program, &*input, write}});
    try {
        return run.Run();
    } catch (...) {
        ReportFailure("; the write stopped, the board is not fully written");
        return ExitInternal;
    }
}

}  // namespace qw735
