// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/Advice.h"

#include "cli/ExitStatus.h"
#include "cli/WriteRun.h"
#include "link/PortInventory.h"
#include "link/PortMap.h"
#include "writer/WriteInput.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qw735 {

namespace {

QString UsersText(const QList<PortUser> &users)
{
    QStringList shown;
    for (const PortUser &user : users)
        shown << QStringLiteral("process %1 (%2)").arg(user.pid).arg(user.command);
    return shown.join(QStringLiteral(", "));
}

QJsonValue TextOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject AsJson(const SerialPortEntry &entry)
{
    QJsonArray users;
    for (const PortUser &user : entry.users)
        users.append(QJsonObject{{QStringLiteral("pid"), user.pid}, {QStringLiteral("command"), user.command}});
    return {
        {QStringLiteral("com"), entry.comNumber > 0 ? QJsonValue(ComName(entry.comNumber)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("device"), entry.device},
        {QStringLiteral("console"), entry.console},
        {QStringLiteral("by_id"), QJsonArray::fromStringList(entry.byId)},
        {QStringLiteral("by_path"), QJsonArray::fromStringList(entry.byPath)},
        {QStringLiteral("vendor_id"), TextOrNull(entry.vendorId)},
        {QStringLiteral("product_id"), TextOrNull(entry.productId)},
        {QStringLiteral("manufacturer"), TextOrNull(entry.manufacturer)},
        {QStringLiteral("product"), TextOrNull(entry.product)},
        {QStringLiteral("serial_number"), TextOrNull(entry.serialNumber)},
        {QStringLiteral("in_use_by"), users},
        {QStringLiteral("latency_timer_ms"), entry.latencyTimerMs >= 0 ? QJsonValue(entry.latencyTimerMs) : QJsonValue(QJsonValue::Null)},
    };
}

void PrintEntry(const SerialPortEntry &entry)
{
    const QString com = entry.comNumber > 0 ? ComName(entry.comNumber) : QStringLiteral("-");
    PrintLine(QStringLiteral("%1%2%3").arg(com.leftJustified(7), entry.device,
                                          entry.console ? QStringLiteral("  (the system console)") : QString()));
    const auto detail = [](const char *what, const QString &text) {
        PrintLine(QStringLiteral("       %1%2").arg(QString::fromLatin1(what).leftJustified(10), text));
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

int PrintPortList(bool json)
{
    const QList<SerialPortEntry> entries = SerialPortInventory();
    if (json) {
        QJsonArray all;
        for (const SerialPortEntry &entry : entries)
            all.append(AsJson(entry));
        PrintLine(QString::fromUtf8(QJsonDocument(all).toJson(QJsonDocument::Compact)));
        return ExitOk;
    }
    if (entries.isEmpty())
        PrintLine(QStringLiteral("no serial ports found"));
    for (const SerialPortEntry &entry : entries)
        PrintEntry(entry);
    return ExitOk;
}

QString LoaderProblem(const QByteArray &givenLoader, const QStringList &placesTried)
{
    // The first place that holds a file is the one the writer took.
    QByteArray path = givenLoader;
    for (const QString &place : placesTried) {
        if (path.isEmpty() && QFileInfo(place).isFile())
            path = QFile::encodeName(place);
    }
    if (path.isEmpty()) {
        QString text = QStringLiteral("qw735-write: the loader was not found; looked for:\n");
        for (const QString &place : placesTried)
            text += QStringLiteral("  %1\n").arg(place);
        return text + QStringLiteral("qw735-write: put the loader that came with the board in one of these places, named "
                                     "tqw735.bin, or give it with --loader FILE\n");
    }
    QString why;
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
    else if (S_ISDIR(info.st_mode))
        why = QStringLiteral("it is a directory");
    else if (const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); fd < 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
    else {
        ::close(fd);
        why = QStringLiteral("it is empty");
    }
    return QStringLiteral("qw735-write: cannot use the loader %1: %2\n").arg(DisplayPath(path), why);
}

bool NamesNoPort(const WriteResult &result)
{
    return result.outcome == WriteOutcome::PortLost && result.message.startsWith(u"Cannot open ")
           && (result.message.endsWith(u": no such device") || result.message.endsWith(u": there is no serial device behind it"));
}

QString ExistingPortsHint()
{
    QStringList ports;
    for (const SerialPortEntry &entry : SerialPortInventory()) {
        if (!entry.console)
            ports << (entry.comNumber > 0 ? QStringLiteral("%1 (%2)").arg(ComName(entry.comNumber), entry.device) : entry.device);
    }
    if (ports.isEmpty())
        return QStringLiteral("no serial ports found; see qw735-write --list-ports");
    return QStringLiteral("serial ports found: %1; see qw735-write --list-ports").arg(ports.join(QStringLiteral(", ")));
}

}  // namespace qw735
