// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortName.h"

#include "link/RemotePort.h"
#include "link/SerialPort.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

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
    if (QDir::isRelativePath(port) && QFileInfo::exists(port))
        return QFileInfo(port).absoluteFilePath();
    return port;
}

}  // namespace

std::expected<std::unique_ptr<ByteTransport>, QString> TransportForPort(const QString &port, const PortMap &map)
{
    if (port.isEmpty())
        return std::unexpected(QStringLiteral("the port name is empty"));
    if (port.startsWith(QLatin1String(RemotePort::Scheme) + u':', Qt::CaseInsensitive))
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

}  // namespace qw735
