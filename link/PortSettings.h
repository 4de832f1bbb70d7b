// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QSerialPort>
#include <QString>
#include <expected>

namespace qw735 {

// The two settings texts on the wire: boot mode, and the running loader.
inline constexpr const char *BootSettings = "9600,N,8,1";
inline constexpr const char *LoaderSettings = "38400,N,8,1";

// Line settings as the "baud,parity,data,stop" text the writer uses.
struct PortSettings {
    QString text = QString::fromLatin1(BootSettings);  // as given
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    bool operator==(const PortSettings &) const = default;
};

// Parses "9600,N,8,1". The error, when any field is malformed, is the
// message a settings change ends with.
[[nodiscard]] std::expected<PortSettings, QString> ParsePortSettings(const QString &text);

}  // namespace qw735
