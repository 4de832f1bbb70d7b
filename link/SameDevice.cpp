// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/SameDevice.h"

#include "link/DeviceLock.h"

#include <QFile>
#include <sys/stat.h>

namespace qw735 {

namespace {

// What two names of one device have in common: its device number for a
// device node (also one made twice with mknod), its path for another file,
// the text itself for anything that is no file here.
QString DeviceKey(const QString &device)
{
    struct stat info {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0)
        return QStringLiteral("name:") + device;
    if (S_ISCHR(info.st_mode))
        return QStringLiteral("node:%1").arg(static_cast<quint64>(info.st_rdev));
    return QStringLiteral("file:") + device;
}

}  // namespace

QString DeviceBehind(const QString &port, const PortMap &map)
{
    const int number = ParseComName(port);
    const QString name = number ? ComDevice(map, number) : port;
    if (name.isEmpty())
        return {};
    const QString device = ResolveDevicePath(name);
    return device.isEmpty() ? name : device;
}

std::expected<void, QString> CheckDistinctDevices(const QStringList &ports, const PortMap &map)
{
    QStringList keys;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const QString device = DeviceBehind(ports[i], map);
        // A Com with nothing behind it fails when opened, with its own message.
        const QString key = device.isEmpty() ? QStringLiteral("com:") + ports[i].toUpper() : DeviceKey(device);
        if (const qsizetype first = keys.indexOf(key); first >= 0) {
            return std::unexpected(QStringLiteral("%1 and %2 name the same device (%3); each board needs a port of its own")
                                       .arg(ports[first], ports[i], device.isEmpty() ? ports[i] : device));
        }
        keys << key;
    }
    return {};
}

}  // namespace qw735
