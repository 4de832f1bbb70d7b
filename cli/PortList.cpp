// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/PortList.h"

#include "base/PathName.h"
#include "cli/Console.h"
#include "production/ExitStatus.h"
#include "link/PortInventory.h"
#include "link/PortMap.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace qw735 {

namespace {

// Every name in the JSON listing: its bytes that are not UTF-8 as \xNN,
// a backslash doubled, so that no name is dropped or merged with another.
QJsonValue TextOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(PathEscaped(text));
}

QJsonArray Names(const QStringList &names)
{
    QJsonArray array;
    for (const QString &name : names)
        array.append(PathEscaped(name));
    return array;
}

// JSON text with DEL and the C1 controls written as \u escapes, as the
// writer already escapes the C0 ones: the same strings to a parser, and
// nothing a terminal would act on when the listing is shown on one.
QString WithoutRawControls(const QString &json)
{
    QString text;
    text.reserve(json.size());
    for (const QChar c : json) {
        if (c.unicode() >= 0x7F && c.unicode() <= 0x9F)
            text += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            text += c;
    }
    return text;
}

QString ConsoleLabel(ConsoleRole role)
{
    switch (role) {
    case ConsoleRole::None: return {};
    case ConsoleRole::SystemConsole: return QStringLiteral("  (the system console)");
    case ConsoleRole::VirtualConsole: return QStringLiteral("  (a virtual console)");
    case ConsoleRole::ControllingTerminal: return QStringLiteral("  (the terminal this runs in)");
    }
    return {};
}

QJsonObject AsJson(const SerialPortEntry &entry)
{
    QJsonArray users;
    for (const PortUser &user : entry.users)
        users.append(QJsonObject{{QStringLiteral("pid"), user.pid}, {QStringLiteral("command"), PathEscaped(user.command)}});
    return {
        {QStringLiteral("com"), entry.comNumber > 0 ? QJsonValue(ComName(entry.comNumber)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("device"), PathEscaped(entry.device)},
        {QStringLiteral("console"), entry.console != ConsoleRole::None},
        {QStringLiteral("by_id"), Names(entry.byId)},
        {QStringLiteral("by_path"), Names(entry.byPath)},
        {QStringLiteral("vendor_id"), TextOrNull(entry.vendorId)},
        {QStringLiteral("product_id"), TextOrNull(entry.productId)},
        {QStringLiteral("manufacturer"), TextOrNull(entry.manufacturer)},
        {QStringLiteral("product"), TextOrNull(entry.product)},
        {QStringLiteral("serial_number"), TextOrNull(entry.serialNumber)},
        {QStringLiteral("in_use_by"), users},
        {QStringLiteral("latency_timer_ms"), entry.latencyTimerMs >= 0 ? QJsonValue(entry.latencyTimerMs) : QJsonValue(QJsonValue::Null)},
    };
}

// Every name as messages show names: a USB string, a link's name or a
// process's name cannot write to the terminal or make a line of its own.
void PrintEntry(const Console &console, const SerialPortEntry &entry)
{
    const QString com = entry.comNumber > 0 ? ComName(entry.comNumber) : QStringLiteral("-");
    console.Out(QStringLiteral("%1%2%3").arg(com.leftJustified(7), PathDisplay(entry.device), ConsoleLabel(entry.console)));
    const auto detail = [&console](const char *what, const QString &text) {
        console.Out(QStringLiteral("       %1%2").arg(QString::fromLatin1(what).leftJustified(10), PathDisplay(text)));
    };
    for (const QString &link : entry.byId)
        detail("by-id", link);
    for (const QString &link : entry.byPath)
        detail("by-path", link);
    if (!entry.vendorId.isEmpty()) {
        QStringList usb = {entry.vendorId + u':' + entry.productId};
        for (const QString &text : {entry.manufacturer, entry.product})
            if (!text.isEmpty())
                usb << text;
        if (!entry.serialNumber.isEmpty())
            usb << QStringLiteral("serial ") + entry.serialNumber;
        detail("USB", usb.join(QStringLiteral(", ")));
    }
    // How late its replies may come: the writer asks for 1 ms while it
    // writes, and says so when it cannot have it.
    if (entry.latencyTimerMs >= 0)
        detail("latency", QStringLiteral("%1 ms timer").arg(entry.latencyTimerMs));
    if (!entry.users.isEmpty())
        detail("in use by", UsersText(entry.users));
}

}  // namespace

int PrintPortList(const Console &console, bool json)
{
    const QList<SerialPortEntry> entries = SerialPortInventory();
    if (json) {
        QJsonArray all;
        for (const SerialPortEntry &entry : entries)
            all.append(AsJson(entry));
        console.Out(WithoutRawControls(QString::fromUtf8(QJsonDocument(all).toJson(QJsonDocument::Compact))));
        return ExitOk;
    }
    if (entries.isEmpty())
        console.Out(QStringLiteral("no serial ports found"));
    for (const SerialPortEntry &entry : entries)
        PrintEntry(console, entry);
    return ExitOk;
}


}  // namespace qw735
