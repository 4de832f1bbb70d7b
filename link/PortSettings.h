// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QSerialPort>
#include <QString>
#include <expected>

namespace qw735 {

// Line settings, read from the "baud,parity,data,stop" text the writer
// uses; the text stays with them for messages and the trace.
struct PortSettings {
    QString text;  // as given
    qint32 baudRate = 0;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    bool operator==(const PortSettings &) const = default;
};

// Parses "9600,N,8,1". The error, when any field is malformed, is the
// message a settings change ends with.
[[nodiscard]] std::expected<PortSettings, QString> ParsePortSettings(const QString &text);

// The two settings on the wire: boot mode ("9600,N,8,1"), and the running
// loader ("38400,N,8,1"). Each text is read once.
[[nodiscard]] const PortSettings &BootSettings();
[[nodiscard]] const PortSettings &LoaderSettings();

}  // namespace qw735
