// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/ConsoleDevices.h"

#include <QFile>

#include <sys/sysmacros.h>

namespace qw735 {

namespace {

// Linux's fixed device numbers: the virtual consoles are major 4, minors
// 0..63 (the ttyS ports follow from minor 64); /dev/tty and /dev/console
// are 5:0 and 5:1.
constexpr unsigned VirtualConsoleMajor = 4;
constexpr unsigned VirtualConsoleCount = 64;
constexpr unsigned AliasMajor = 5;
constexpr unsigned ControllingTerminalMinor = 0;
constexpr unsigned ConsoleMinor = 1;

QByteArray ReadSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(64 * 1024);
}

// The controlling terminal's device number from /proc/self/stat (field 7,
// tty_nr: minor in bits 31..20 and 7..0, major in bits 15..8); none when
// the process has no terminal. Read rather than opening /dev/tty, which
// would make a terminal of it for nothing.
std::optional<dev_t> ControllingTerminal()
{
    const QByteArray stat = ReadSmallFile(QStringLiteral("/proc/self/stat"));
    // The command name in parentheses may hold blanks and parentheses.
    const qsizetype end = stat.lastIndexOf(')');
    if (end < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(end + 1).simplified().split(' ');
    // After the name: state, ppid, pgrp, session, tty_nr.
    bool ok = false;
    const unsigned number = fields.value(4).toUInt(&ok);
    if (!ok || number == 0)
        return std::nullopt;
    return makedev((number >> 8) & 0xFFF, (number & 0xFF) | ((number >> 12) & 0xFFF00));
}

}  // namespace

ConsoleList ConsoleList::Read(const QString &sysTty, const QString &procConsoles)
{
    ConsoleList list;
    list.names_ = QString::fromLatin1(ReadSmallFile(sysTty + QStringLiteral("/console/active"))).split(u' ', Qt::SkipEmptyParts);
    for (QString &name : list.names_)
        name = name.trimmed();
    // Each line: the name, its flags, then "major:minor" at the end.
    for (const QByteArray &line : ReadSmallFile(procConsoles).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2)
            continue;
        list.names_ << QString::fromLatin1(fields.first());
        const QList<QByteArray> number = fields.last().split(':');
        bool majorOk = false, minorOk = false;
        const unsigned major = number.value(0).toUInt(&majorOk), minor = number.value(1).toUInt(&minorOk);
        if (number.size() == 2 && majorOk && minorOk)
            list.numbers_ << makedev(major, minor);
    }
    return list;
}

bool ConsoleList::Names(const QString &ttyName) const
{
    return names_.contains(ttyName);
}

bool ConsoleList::HasNumber(dev_t number) const
{
    return numbers_.contains(number);
}

ConsoleRole ConsoleRoleOf(const QString &device, std::optional<dev_t> number, const ConsoleList &consoles)
{
    const QString dev = QStringLiteral("/dev/");
    if ((device.startsWith(dev) && consoles.Names(device.mid(dev.size()))) || (number && consoles.HasNumber(*number))
        || (number && major(*number) == AliasMajor && minor(*number) == ConsoleMinor))
        return ConsoleRole::SystemConsole;
    if (number && major(*number) == VirtualConsoleMajor && minor(*number) < VirtualConsoleCount)
        return ConsoleRole::VirtualConsole;
    if (number && ((major(*number) == AliasMajor && minor(*number) == ControllingTerminalMinor) || number == ControllingTerminal()))
        return ConsoleRole::ControllingTerminal;
    return ConsoleRole::None;
}

QString ConsoleRefusal(ConsoleRole role)
{
    switch (role) {
    case ConsoleRole::None: return {};
    case ConsoleRole::SystemConsole:
        return QStringLiteral("it is the system console (the kernel's messages and logins go there), not a board's serial port");
    case ConsoleRole::VirtualConsole:
        return QStringLiteral("it is a virtual console (a screen and keyboard of this machine), not a serial port");
    case ConsoleRole::ControllingTerminal:
        return QStringLiteral("it is the terminal this program runs in, not a board's serial port");
    }
    return {};
}

}  // namespace qw735
