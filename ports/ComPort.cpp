// SPDX-License-Identifier: GPL-2.0-or-later
#include "ports/ComPort.h"

namespace qw735 {

ComPort::ComPort(PortMap map, QObject *parent) : SerialPort(parent), map_(std::move(map)) {}

void ComPort::SelectPort(int number)
{
    portNumber_ = number;
}

QString ComPort::Describe() const
{
    return portNumber_ > 0 ? DescribeCom(map_, portNumber_) : SerialPort::Describe();
}

std::expected<QString, PortError> ComPort::DeviceToOpen() const
{
    if (portNumber_ == 0)
        return SerialPort::DeviceToOpen();
    const QString device = ComDevice(map_, portNumber_);
    if (device.isEmpty())
        return std::unexpected(PortError{PortError::Kind::NoDeviceBehindCom,
                                         QStringLiteral("Cannot open %1: there is no serial device behind it").arg(ComName(portNumber_))});
    return device;
}

}  // namespace qw735
