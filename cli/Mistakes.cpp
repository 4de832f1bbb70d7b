// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/Mistakes.h"

#include "base/PathName.h"
#include "link/DeviceLock.h"
#include "link/PortMap.h"
#include "ports/PortName.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace qw735 {

namespace {

// The name of the boot mode's loader, which comes with the board; a file of
// that name is the loader wherever it lies.
constexpr QLatin1StringView LoaderFileName("tqw735.bin");

// Pseudo-terminal slaves (/dev/pts/N) have no node in sysfs to ask; these
// are their majors.
constexpr unsigned PtsFirstMajor = 136;
constexpr unsigned PtsLastMajor = 143;

std::optional<struct stat> StatOf(const QByteArray &path)
{
    struct stat info {};
    if (path.isEmpty() || ::stat(path.constData(), &info) != 0)
        return std::nullopt;
    return info;
}

// A terminal device, told by the kernel's class of the device number: a
// serial port, a pseudo-terminal, a console. /dev/zero and the like are not.
bool IsTerminalDevice(const struct stat &info)
{
    if (!S_ISCHR(info.st_mode))
        return false;
    const unsigned deviceMajor = major(info.st_rdev);
    if (deviceMajor >= PtsFirstMajor && deviceMajor <= PtsLastMajor)
        return true;
    const QByteArray subsystem = QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(deviceMajor).arg(minor(info.st_rdev)).toLatin1();
    char target[256];
    const ssize_t length = ::readlink(subsystem.constData(), target, sizeof target);
    return length > 0 && QByteArray(target, length).endsWith("/tty");
}

// What a port name opens: a relative name in the working directory when it
// is there, otherwise in /dev.
QByteArray DeviceFileOf(const QByteArray &port)
{
    return PathBytes(ReadDeviceName(PathString(port)).file);
}

// "raspberrypi.local:4000", "192.168.1.50:4000", "[fe80::1]:4000": a server
// and its port without rfc2217://, and no file of that name.
bool IsHostWithoutScheme(const QByteArray &text)
{
    static const QRegularExpression hostAndPort(
        QStringLiteral(R"(^(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)*):([0-9]{1,5})$)"));
    const QRegularExpressionMatch match = hostAndPort.match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return false;
    const int port = match.captured(5).toInt();
    return port >= 1 && port <= 65535 && !StatOf(text) && !StatOf(DeviceFileOf(text));
}

bool IsRegularFile(const QByteArray &path)
{
    const auto info = StatOf(path);
    return info && S_ISREG(info->st_mode);
}

// The writer's own standard input, named as a file: a stream, never a port.
bool IsStandardInput(const QByteArray &text)
{
    return text == "/dev/stdin" || text.startsWith("/dev/fd/") || text.startsWith("/proc/self/fd/");
}

// Whether `text` is more likely a PORT than a program file: a Com name or
// a remote port (well written or not), a server without its scheme, or a
// terminal device; and no file or pipe of that name to read.
bool NamesAPort(const QByteArray &text)
{
    if (text.isEmpty() || IsStandardInput(text))
        return false;
    if (const auto info = StatOf(text); info && (S_ISREG(info->st_mode) || S_ISFIFO(info->st_mode)))
        return false;
    const QString name = PathString(text);
    if (ParseComName(name) || IsHostWithoutScheme(text))
        return true;
    // Parse refuses only texts that try to be a Com or a remote port.
    const auto port = PortName::Parse(name);
    if (!port || port->IsRemote())
        return true;
    const auto device = StatOf(DeviceFileOf(text));
    return device && IsTerminalDevice(*device);
}

// The loader by its name, or the very file the write would send as one.
bool IsLoader(const QByteArray &path, const QByteArray &loader)
{
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    if (QString::fromLatin1(name).compare(LoaderFileName, Qt::CaseInsensitive) == 0)
        return true;
    const auto info = StatOf(path), loaderInfo = StatOf(loader);
    return info && loaderInfo && info->st_dev == loaderInfo->st_dev && info->st_ino == loaderInfo->st_ino;
}

QString Words(const QList<QByteArray> &names)
{
    QStringList words;
    for (const QByteArray &name : names)
        words << ShellWord(BytesDisplay(name));
    return words.join(u' ');
}

// "prog.mot" -> "prog-ascii.mot": where the converted text goes.
QString AsciiName(const QString &name)
{
    const qsizetype slash = name.lastIndexOf(u'/');
    const qsizetype dot = name.lastIndexOf(u'.');
    const qsizetype at = dot > slash + 1 ? dot : name.size();
    return name.left(at) + QStringLiteral("-ascii") + name.mid(at);
}

}  // namespace

QString ShellWord(const QString &text)
{
    static const QRegularExpression plain(QStringLiteral(R"(^[A-Za-z0-9_@%+=:,./-]+$)"));
    if (plain.match(text).hasMatch())
        return text;
    return u'\'' + QString(text).replace(u'\'', QStringLiteral("'\\''")) + u'\'';
}

std::optional<QString> MisplacedArgument(const QList<QByteArray> &ports, const PathName &programFile, const PathName &loaderFile)
{
    const QByteArray &file = programFile.Bytes();
    const QByteArray &loader = loaderFile.Bytes();
    for (const QByteArray &port : ports) {
        if (IsHostWithoutScheme(port))
            return QStringLiteral("%1 is no serial device: did you mean rfc2217://%1?").arg(BytesDisplay(port));
        if (IsRegularFile(DeviceFileOf(port)) && IsLoader(DeviceFileOf(port), loader))
            return QStringLiteral("%1 is the loader, not a port: give it with --loader %2")
                .arg(BytesDisplay(port), ShellWord(BytesDisplay(port)));
    }
    if (NamesAPort(file)) {
        // The program file given first: put it last.
        for (qsizetype i = 0; i < ports.size(); ++i) {
            if (!IsRegularFile(DeviceFileOf(ports[i])))
                continue;
            QList<QByteArray> order = ports;
            order.removeAt(i);
            order << file << ports[i];
            return QStringLiteral("%1 is a port, and the program file comes last (%2)").arg(BytesDisplay(file), Words(order));
        }
        return QStringLiteral("%1 is a port; the program file comes last, after the ports").arg(BytesDisplay(file));
    }
    for (const QByteArray &port : ports) {
        if (IsRegularFile(DeviceFileOf(port)))
            return QStringLiteral("%1 is a file, not a port: give the ports, then the one program file").arg(BytesDisplay(port));
    }
    return std::nullopt;
}

QString LoneArgument(const QByteArray &argument)
{
    if (NamesAPort(argument))
        return QStringLiteral("%1 is a port; the program file to write comes after it (%2 FILE)")
            .arg(BytesDisplay(argument), ShellWord(BytesDisplay(argument)));
    return QStringLiteral("no port to write %1 through: the port comes first (PORT %2)")
        .arg(BytesDisplay(argument), ShellWord(BytesDisplay(argument)));
}

QString UnrecognizedFileHint(const PathName &file, const PathName &loader, const ProgramError &error)
{
    if (IsLoader(file.Bytes(), loader.Bytes()))
        return QStringLiteral("%1 is the loader, not a program: the program file (S-record, Intel HEX or ELF) comes last, "
                              "and the loader goes with --loader FILE")
            .arg(file.Display());
    // The iconv line converts a file into another beside it: a pipe's text
    // is gone once read, and its name (/dev/stdin) is no place for the result.
    if (error.kind != ProgramError::Kind::Utf16WithoutMark || !IsRegularFile(file.Bytes()))
        return {};
    const auto looksLike = error.utf16.looksLike;
    const char *what = looksLike == ProgramFormat::SRecord ? "S-record text" : looksLike == ProgramFormat::IntelHex ? "Intel HEX text" : "text";
    return QStringLiteral("%1 looks like %2 in UTF-16 without a byte-order mark; convert it, then write the result: "
                          "iconv -f %3 -t ASCII %4 > %5")
        .arg(file.Display(), QLatin1String(what), error.utf16.bigEndian ? QStringLiteral("UTF-16BE") : QStringLiteral("UTF-16LE"),
             ShellWord(file.Display()), ShellWord(AsciiName(file.Display())));
}

QString OpenKeyWarning(const QString &keyFile)
{
    const auto info = StatOf(QFile::encodeName(keyFile));
    if (!info || (info->st_mode & (S_IRGRP | S_IROTH)) == 0)
        return {};
    return QStringLiteral("the private key %1 can be read by other users (mode %2): chmod 600 %3")
        .arg(keyFile, QStringLiteral("%1").arg(info->st_mode & 07777, 4, 8, QLatin1Char('0')), ShellWord(keyFile));
}

}  // namespace qw735
