// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortMap.h"

#include "link/ConsoleDevices.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>

namespace qw735 {

namespace {

// The tty names (e.g. "ttyUSB0") with `prefix` and a number, in numeric order.
QStringList NumberedTtys(const QStringList &names, const QString &prefix)
{
    static const QRegularExpression digits(QStringLiteral("^\\d+$"));
    QStringList found;
    for (const QString &name : names) {
        if (name.startsWith(prefix) && digits.match(name.mid(prefix.size())).hasMatch())
            found << name;
    }
    std::sort(found.begin(), found.end(), [&](const QString &a, const QString &b) {
        return a.mid(prefix.size()).toInt() < b.mid(prefix.size()).toInt();
    });
    return found;
}

QString ReadSysText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).trimmed();
}

// An on-board UART exists for every ttyS the kernel reserves; only those
// whose UART type is known (non-zero) have a chip behind them.
bool HasUartBehind(const QString &sysTty, const QString &name)
{
    if (!QFile::exists(sysTty + u'/' + name + QStringLiteral("/device")))
        return false;
    bool ok = false;
    const int type = ReadSysText(sysTty + u'/' + name + QStringLiteral("/type")).toInt(&ok);
    return ok && type != 0;
}

}  // namespace

QStringList SystemComDevices()
{
    return ComDevicesUnder(QStringLiteral("/sys/class/tty"));
}

QStringList ComDevicesUnder(const QString &sysTty, const QString &procConsoles)
{
    return SerialDevicesUnder(sysTty, procConsoles).mid(0, ComPortCount);
}

QStringList SerialDevicesUnder(const QString &sysTty, const QString &procConsoles)
{
    const QStringList names = QDir(sysTty).entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot);
    // A USB adapter can be the console too (console=ttyUSB0).
    const ConsoleList consoles = ConsoleList::Read(sysTty, procConsoles);

    QStringList devices;
    for (const QString &name : NumberedTtys(names, QStringLiteral("ttyUSB")) + NumberedTtys(names, QStringLiteral("ttyACM"))) {
        if (!consoles.Names(name))
            devices << QStringLiteral("/dev/") + name;
    }
    for (const QString &name : NumberedTtys(names, QStringLiteral("ttyS"))) {
        if (HasUartBehind(sysTty, name) && !consoles.Names(name))
            devices << QStringLiteral("/dev/") + name;
    }
    return devices;
}

QString ComDevice(const PortMap &map, int number)
{
    if (!map || number < 1 || number > ComPortCount)
        return {};
    const QStringList devices = map();
    return number <= devices.size() ? devices[number - 1] : QString();
}

QString ComName(int number)
{
    return QStringLiteral("COM%1").arg(number);
}

QString DescribeCom(const PortMap &map, int number)
{
    const QString device = ComDevice(map, number);
    return device.isEmpty() ? ComName(number) : QStringLiteral("%1 (%2)").arg(ComName(number), device);
}

std::optional<int> ParseComName(const QString &text)
{
    static const QRegularExpression com(QStringLiteral("^COM(\\d+)$"), QRegularExpression::CaseInsensitiveOption);
    const auto match = com.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const int number = match.captured(1).toInt();
    return number >= 1 && number <= ComPortCount ? number : 0;
}

}  // namespace qw735
