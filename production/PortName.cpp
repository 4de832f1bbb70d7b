// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/PortName.h"

#include "base/PathName.h"
#include "link/DeviceLock.h"
#include "link/SerialPort.h"
#include "remote/RemotePort.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <sys/stat.h>

namespace qw735 {

namespace {

// "COM" and digits, whatever the number: a Com name the windows cannot show.
bool LooksLikeComName(const QString &text)
{
    static const QRegularExpression com(QStringLiteral("^COM\\d+$"), QRegularExpression::CaseInsensitiveOption);
    return com.match(text).hasMatch();
}

// The serial port library reads a bare name such as "ttyUSB0" as a device
// in /dev. A name that exists in the working directory (a link made by a
// test rig or a board simulator) means that file instead.
QString DevicePathFor(const QString &port)
{
    struct stat info {};
    if (QDir::isRelativePath(port) && ::stat(PathBytes(port).constData(), &info) == 0)
        return QDir::cleanPath(QDir::currentPath() + u'/' + port);  // a string operation: keeps every byte
    return port;
}

bool IsRemote(const QString &port)
{
    return port.startsWith(QLatin1String(RemotePort::Scheme) + u':', Qt::CaseInsensitive)
        || port.startsWith(QLatin1String(RemotePort::TlsScheme) + u':', Qt::CaseInsensitive);
}

// What two names of one device have in common: its device number for a
// device node (also one made twice with mknod), its path for another file,
// the text itself for anything that is no file here.
QString DeviceKey(const QString &device)
{
    struct stat info {};
    if (::stat(PathBytes(device).constData(), &info) != 0)
        return QStringLiteral("name:") + device;
    if (S_ISCHR(info.st_mode))
        return QStringLiteral("node:%1").arg(static_cast<quint64>(info.st_rdev));
    return QStringLiteral("file:") + device;
}

// One server however its URL is spelled: the scheme and the host in any
// case, a trailing slash, the port with leading zeros. What differs after
// that (another name for the same address) is the user's to know.
QString RemoteKey(const QString &port)
{
    const QUrl url(port, QUrl::StrictMode);
    return QStringLiteral("remote:%1:%2").arg(url.host().toLower()).arg(url.port());
}

}  // namespace

std::expected<std::unique_ptr<ByteTransport>, QString> TransportForPort(const QString &port, const PortMap &map)
{
    if (port.isEmpty())
        return std::unexpected(QStringLiteral("the port name is empty"));
    if (IsRemote(port))
        return RemotePort::FromUrl(port);
    const int number = ParseComName(port);
    if (number == 0 && LooksLikeComName(port))
        return std::unexpected(QStringLiteral("%1 is out of range: the Com numbers are %2..%3")
                                   .arg(port, ComName(1), ComName(ComPortCount)));
    auto serial = std::make_unique<SerialPort>(map);
    if (number)
        serial->SelectPort(number);
    else
        serial->SelectDevice(DevicePathFor(port));
    return serial;
}

QString DeviceBehind(const QString &port, const PortMap &map)
{
    if (IsRemote(port))
        return port;
    const int number = ParseComName(port);
    const QString name = number ? ComDevice(map, number) : DevicePathFor(port);
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
        const QString key = IsRemote(ports[i]) ? RemoteKey(ports[i])
                            : device.isEmpty() ? QStringLiteral("com:") + ports[i].toUpper()
                                               : DeviceKey(device);
        if (const qsizetype first = keys.indexOf(key); first >= 0) {
            return std::unexpected(QStringLiteral("%1 and %2 name the same device (%3); each board needs a port of its own")
                                       .arg(PathDisplay(ports[first]), PathDisplay(ports[i]),
                                            PathDisplay(device.isEmpty() ? ports[i] : device)));
        }
        keys << key;
    }
    return {};
}

}  // namespace qw735
