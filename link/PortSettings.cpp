// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortSettings.h"

#include <QStringList>

namespace qw735 {

namespace {

std::unexpected<QString> Malformed(const QString &text)
{
    return std::unexpected(QStringLiteral("Malformed port settings \"%1\"").arg(text));
}

}  // namespace

std::expected<PortSettings, QString> ParsePortSettings(const QString &text)
{
    const QStringList fields = text.split(u',');
    if (fields.size() != 4)
        return Malformed(text);

    PortSettings settings;
    settings.text = text;
    bool ok = false;
    settings.baudRate = fields[0].trimmed().toInt(&ok);
    if (!ok || settings.baudRate <= 0)
        return Malformed(text);

    const QString parity = fields[1].trimmed().toUpper();
    if (parity == u"N")
        settings.parity = QSerialPort::NoParity;
    else if (parity == u"E")
        settings.parity = QSerialPort::EvenParity;
    else if (parity == u"O")
        settings.parity = QSerialPort::OddParity;
    else if (parity == u"M")
        settings.parity = QSerialPort::MarkParity;
    else if (parity == u"S")
        settings.parity = QSerialPort::SpaceParity;
    else
        return Malformed(text);

    const int dataBits = fields[2].trimmed().toInt(&ok);
    if (!ok || dataBits < 5 || dataBits > 8)
        return Malformed(text);
    settings.dataBits = static_cast<QSerialPort::DataBits>(dataBits);

    const QString stopBits = fields[3].trimmed();
    if (stopBits == u"1")
        settings.stopBits = QSerialPort::OneStop;
    else if (stopBits == u"1.5")
        settings.stopBits = QSerialPort::OneAndHalfStop;
    else if (stopBits == u"2")
        settings.stopBits = QSerialPort::TwoStop;
    else
        return Malformed(text);
    return settings;
}

namespace {

// Only for the two constant texts below, which always read.
PortSettings Constant(const char *text)
{
    return *ParsePortSettings(QString::fromLatin1(text));
}

}  // namespace

const PortSettings &BootSettings()
{
    static const PortSettings settings = Constant("9600,N,8,1");
    return settings;
}

const PortSettings &LoaderSettings()
{
    static const PortSettings settings = Constant("38400,N,8,1");
    return settings;
}

}  // namespace qw735
