// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortName.h"

#include "link/RemotePort.h"
#include "link/SerialPort.h"

namespace qw735 {

std::expected<std::unique_ptr<ByteTransport>, QString> TransportForPort(const QString &port, const PortMap &map)
{
    if (port.isEmpty())
        return std::unexpected(QStringLiteral("the port name is empty"));
    if (port.startsWith(QLatin1String(RemotePort::Scheme) + u':', Qt::CaseInsensitive))
        return RemotePort::FromUrl(port);
    auto serial = std::make_unique<SerialPort>(map);
    if (const int number = ParseComName(port))
        serial->SelectPort(number);
    else
        serial->SelectDevice(port);
    return serial;
}

}  // namespace qw735
