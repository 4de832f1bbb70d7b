// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortInventory.h"

#include "link/PortMap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace qw735 {

namespace {

const QString SysTty = QStringLiteral("/sys/class/tty");

QString ReadAttribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096)).trimmed();
}

// USB attributes sit on the USB device, a few levels above the tty's own
// device (interface, then device): the nearest directory with an idVendor.
void ReadUsbAttributes(const QString &name, SerialPortEntry &entry)
{
    QString dir = QFileInfo(SysTty + u'/' + name + QStringLiteral("/device")).canonicalFilePath();
    for (int up = 0; up < 6 && dir.size() > 1; ++up, dir = QFileInfo(dir).path()) {
        if (!QFile::exists(dir + QStringLiteral("/idVendor")))
            continue;
        entry.vendorId = ReadAttribute(dir + QStringLiteral("/idVendor"));
        entry.productId = ReadAttribute(dir + QStringLiteral("/idProduct"));
        entry.manufacturer = ReadAttribute(dir + QStringLiteral("/manufacturer"));
        entry.product = ReadAttribute(dir + QStringLiteral("/product"));
        entry.serialNumber = ReadAttribute(dir + QStringLiteral("/serial"));
        return;
    }
}

// The links under `dir` (udev's stable names) that lead to `device`.
QStringList LinksTo(const QString &dir, const QString &device)
{
    QStringList links;
    for (const QFileInfo &link : QDir(dir).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        if (link.isSymLink() && link.canonicalFilePath() == device)
            links << link.absoluteFilePath();
    }
    return links;
}

// Processes with a descriptor on one of `devices`, by device; this process
// left out. Only what the user may see of other processes.
QHash<QString, QList<PortUser>> UsersOf(const QStringList &devices)
{
    QHash<QString, QList<PortUser>> users;
    const qint64 self = QCoreApplication::applicationPid();
    for (const QString &pidText : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = pidText.toLongLong(&number);
        if (!number || pid == self)
            continue;
        const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
        QStringList held;
        for (const QFileInfo &fd : QDir(fds).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
            const QString target = fd.symLinkTarget();
            if (devices.contains(target) && !held.contains(target))
                held << target;
        }
        for (const QString &device : held)
            users[device] << PortUser{pid, ReadAttribute(QStringLiteral("/proc/%1/comm").arg(pid))};
    }
    return users;
}

}  // namespace

int LatencyTimerMs(const QString &device)
{
    // An attribute of the tty's own device (the USB serial port), beside
    // the driver's other settings.
    bool number = false;
    const int ms = ReadAttribute(SysTty + u'/' + QFileInfo(device).fileName() + QStringLiteral("/device/latency_timer")).toInt(&number);
    return number && ms >= 0 ? ms : -1;
}

QList<SerialPortEntry> SerialPortInventory()
{
    QList<SerialPortEntry> entries;
    const QStringList numbered = SerialDevicesUnder(SysTty);
    for (qsizetype i = 0; i < numbered.size(); ++i) {
        SerialPortEntry &entry = entries.emplace_back();
        entry.comNumber = i < ComPortCount ? static_cast<int>(i) + 1 : 0;
        entry.device = numbered[i];
    }
    // The console, and UARTs the numbering does not know by name (ttyAMA0,
    // ttymxc0, ...): whatever has hardware behind it, virtual consoles and
    // pseudo-terminals have none. A ttyS without a chip is a reserved name.
    const QStringList consoles = ReadAttribute(SysTty + QStringLiteral("/console/active")).split(u' ', Qt::SkipEmptyParts);
    for (const QString &name : QDir(SysTty).entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString device = QStringLiteral("/dev/") + name;
        const bool reserved = name.startsWith(u"ttyS") && ReadAttribute(SysTty + u'/' + name + QStringLiteral("/type")).toInt() == 0;
        if (numbered.contains(device) || reserved || !QFile::exists(SysTty + u'/' + name + QStringLiteral("/device")))
            continue;
        SerialPortEntry &entry = entries.emplace_back();
        entry.device = device;
        entry.console = consoles.contains(name);
    }

    QStringList devices;
    for (const SerialPortEntry &entry : entries)
        devices << entry.device;
    const auto users = UsersOf(devices);
    for (SerialPortEntry &entry : entries) {
        ReadUsbAttributes(QFileInfo(entry.device).fileName(), entry);
        entry.byId = LinksTo(QStringLiteral("/dev/serial/by-id"), entry.device);
        entry.byPath = LinksTo(QStringLiteral("/dev/serial/by-path"), entry.device);
        entry.users = users.value(entry.device);
        entry.latencyTimerMs = LatencyTimerMs(entry.device);
    }
    return entries;
}

}  // namespace qw735
