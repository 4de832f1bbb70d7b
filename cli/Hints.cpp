// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/Hints.h"

#include "base/PathName.h"
#include "cli/Console.h"
#include "cli/Mistakes.h"
#include "link/PortInventory.h"
#include "link/PortMap.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qw735 {

void TellLoaderProblem(const Console &console, const PathName &givenLoader, const QStringList &placesTried)
{
    // The first place that holds a file is the one the writer took.
    QByteArray path = givenLoader.Bytes();
    for (const QString &place : placesTried) {
        if (path.isEmpty() && QFileInfo(place).isFile())
            path = QFile::encodeName(place);
    }
    if (path.isEmpty()) {
        console.Tell(QStringLiteral("the loader was not found; looked for:"));
        for (const QString &place : placesTried)
            console.Line(Console::Stream::Err, QStringLiteral("  %1").arg(place));
        console.Tell(QStringLiteral("put the loader that came with the board in one of these places, named tqw735.bin, or give it "
                                    "with --loader FILE"));
        return;
    }
    QString why;
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
    else if (S_ISDIR(info.st_mode))
        why = QStringLiteral("it is a directory");
    else if (const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); fd < 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
    else {
        ::close(fd);
        // The result says "Not Found TQW735.BIN" for an empty loader as for
        // a missing one: the boot mode has nothing to run either way.
        why = QStringLiteral("it is empty, and an empty loader counts as not found");
    }
    console.Tell(QStringLiteral("cannot use the loader %1: %2").arg(BytesDisplay(path), why));
}

QString OutcomeHint(WriteOutcome outcome)
{
    switch (outcome) {
    case WriteOutcome::HandshakeFailed:
        return QStringLiteral("check that the board is in boot mode (set its mode pin or jumper, then reset it), that it is on "
                              "this port (qw735-write --list-ports), and the TX/RX wiring (this side's TX to the board's RX); "
                              "--trace shows the bytes on the wire");
    case WriteOutcome::LoaderNoReply:
        return QStringLiteral("the boot mode stopped echoing the loader: check the cable and the board's power (a reset ends "
                              "the boot mode), then write again; --trace shows the last byte echoed");
    case WriteOutcome::LoaderWrongReply:
        return QStringLiteral("the boot mode echoed a loader byte wrongly or ended the loader without 0xAA: check the cable "
                              "(noise, its length, another device on the line) and that the board takes this loader; "
                              "--trace shows the byte that differed");
    case WriteOutcome::ImageNoReply:
        return QStringLiteral("the loader did not answer: check that it is the loader for this board (--loader FILE), and "
                              "give it more time to start (--loader-start MS); --trace shows where it stopped");
    case WriteOutcome::ImageWrongReply:
        return QStringLiteral("the loader answered with a byte it should not have: check that it is the loader for this "
                              "board (--loader FILE) and the cable; --trace shows the byte");
    case WriteOutcome::Ok:
    case WriteOutcome::LoaderMissing:
    case WriteOutcome::LoaderTooLarge:
    case WriteOutcome::LoaderIsProgram:
    case WriteOutcome::ProgramFailed:
    case WriteOutcome::PortLost:
    case WriteOutcome::Abandoned:
        break;
    }
    return {};
}

bool NamesNoPort(const WriteResult &result)
{
    return result.portErrorKind == PortError::Kind::NoSuchDevice || result.portErrorKind == PortError::Kind::NoDeviceBehindCom;
}

QString ExistingPortsHint()
{
    QStringList ports;
    for (const SerialPortEntry &entry : SerialPortInventory()) {
        const QString device = PathDisplay(entry.device);
        if (entry.console == ConsoleRole::None)
            ports << (entry.comNumber > 0 ? QStringLiteral("%1 (%2)").arg(ComName(entry.comNumber), device) : device);
    }
    if (ports.isEmpty())
        return QStringLiteral("no serial ports found; see qw735-write --list-ports");
    return QStringLiteral("serial ports found: %1; see qw735-write --list-ports").arg(ports.join(QStringLiteral(", ")));
}

QString ProgramFileHint(const WriteResult &result, const PathName &file, const PathName &loader)
{
    if (!result.programError)
        return {};
    switch (result.programError->kind) {
    case ProgramError::Kind::NotRecognized:
    case ProgramError::Kind::Utf16WithoutMark:
        // A raw binary needs its address; unless the file shows it is
        // something else: following that advice would write UTF-16 text, or
        // the loader, into the board as a program.
        if (QString hint = UnrecognizedFileHint(file, loader, *result.programError); !hint.isEmpty())
            return hint;
        return QStringLiteral("a raw binary file is written with --binary-at ADDRESS");
    case ProgramError::Kind::BadChecksum:
        // A hand-patched file can be written as it stands.
        return QStringLiteral("--ignore-checksums writes a hand-patched file as it stands");
    case ProgramError::Kind::CannotOpen:
    case ProgramError::Kind::NotReadable:
    case ProgramError::Kind::CannotRead:
    case ProgramError::Kind::BadRecord:
    case ProgramError::Kind::BadElf: break;
    }
    return {};
}

}  // namespace qw735
