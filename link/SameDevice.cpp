// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/SameDevice.h"

#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

namespace qw735 {

namespace {

// What two names of one device have in common: its device number for a
// device node, its canonical path for another file, the text itself for
// anything that is no file here (a missing device, a remote port).
QString DeviceKey(const QString &device)
{
    struct stat info {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0)
        return QStringLiteral("name:") + device;
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        return QStringLiteral("node:%1").arg(static_cast<quint64>(info.st_rdev));
    return QStringLiteral("file:") + QFileInfo(device).canonicalFilePath();
}

}  // namespace

QString DeviceBehind(const QString &port, const PortMap &map)
{
    if (const int number = ParseComName(port))
        return ComDevice(map, number);
    return port;
}

std::expected<void, QString> CheckDistinctDevices(const QStringList &ports, const PortMap &map)
{
    QStringList keys;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const QString device = DeviceBehind(ports[i], map);
        // A Com with nothing behind it fails when opened, with its own message.
        const QString key = device.isEmpty() ? QStringLiteral("com:") + ports[i].toUpper() : DeviceKey(device);
        if (const qsizetype first = keys.indexOf(key); first >= 0) {
            const QString canonical = QFileInfo(device).canonicalFilePath();
            return std::unexpected(QStringLiteral("%1 and %2 name the same device (%3); each board needs a port of its own")
                                       .arg(ports[first], ports[i], canonical.isEmpty() ? device : canonical));
        }
        keys << key;
    }
    return {};
}

}  // namespace qw735
