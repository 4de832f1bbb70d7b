// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QSerialPort>
#include <QString>

namespace qw735 {

// Line settings as values, with the "baud,parity,data,stop" text they are
// known by, for messages and the trace.
struct PortSettings {
    QString text;
    qint32 baudRate = 0;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    bool operator==(const PortSettings &) const = default;
};

// The only two settings on the wire: boot mode ("9600,N,8,1"), and the
// running loader ("38400,N,8,1"); both without parity, 8 data bits, 1 stop
// bit.
[[nodiscard]] const PortSettings &BootSettings();
[[nodiscard]] const PortSettings &LoaderSettings();

}  // namespace qw735
