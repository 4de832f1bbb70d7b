// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/Advice.h"

#include "base/PathName.h"
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
void PrintEntry(const SerialPortEntry &entry)
{
    const QString com = entry.comNumber > 0 ? ComName(entry.comNumber) : QStringLiteral("-");
    PrintLine(QStringLiteral("%1%2%3").arg(com.leftJustified(7), PathDisplay(entry.device), ConsoleLabel(entry.console)));
    const auto detail = [](const char *what, const QString &text) {
        PrintLine(QStringLiteral("       %1%2").arg(QString::fromLatin1(what).leftJustified(10), PathDisplay(text)));
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
        PrintLine(WithoutRawControls(QString::fromUtf8(QJsonDocument(all).toJson(QJsonDocument::Compact))));
        return ExitOk;
    }
    if (entries.isEmpty())
        PrintLine(QStringLiteral("no serial ports found"));
    for (const SerialPortEntry &entry : entries)
        PrintEntry(entry);
    return ExitOk;
}

QString LoaderProblem(const PathName &givenLoader, const QStringList &placesTried)
{
    // The first place that holds a file is the one the writer took.
    QByteArray path = givenLoader.Bytes();
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
        // The result says "Not Found TQW735.BIN" for an empty loader as for
        // a missing one: the boot mode has nothing to run either way.
        why = QStringLiteral("it is empty, and an empty loader counts as not found");
    }
    return QStringLiteral("qw735-write: cannot use the loader %1: %2\n").arg(BytesDisplay(path), why);
}

QString OutcomeAdvice(WriteOutcome outcome)
{
    switch (outcome) {
    case WriteOutcome::HandshakeFailed:
        return QStringLiteral("check that the board is in boot mode (set its mode pin or jumper, then reset it), that it is on "
                              "this port (qw735-write --list-ports), and the TX/RX wiring (this side's TX to the board's RX); "
                              "--trace shows the bytes on the wire");
    case WriteOutcome::LoaderNoReply:
        return QStringLiteral("the boot mode stopped echoing the loader: check the cable and the board's power (a reset ends "
                              "the boot mode), then write again; --trace shows the last byte echoed");
    case WriteOutcome::LoaderWrongReply:
        return QStringLiteral("the boot mode echoed a loader byte wrongly or ended the loader without 0xAA: check the cable "
                              "(noise, its length, another device on the line) and that the board takes this loader; "
                              "--trace shows the byte that differed");
    case WriteOutcome::ImageNoReply:
        return QStringLiteral("the loader did not answer: check that it is the loader for this board (--loader FILE), and "
                              "give it more time to start (--loader-start MS); --trace shows where it stopped");
    case WriteOutcome::ImageWrongReply:
        return QStringLiteral("the loader answered with a byte it should not have: check that it is the loader for this "
                              "board (--loader FILE) and the cable; --trace shows the byte");
    case WriteOutcome::Ok:
    case WriteOutcome::LoaderMissing:
    case WriteOutcome::LoaderTooLarge:
    case WriteOutcome::LoaderIsProgram:
    case WriteOutcome::ProgramFailed:
    case WriteOutcome::PortLost:
    case WriteOutcome::Abandoned:
        break;
    }
    return {};
}

bool NamesNoPort(const WriteResult &result)
{
    return result.portErrorKind == PortError::Kind::NoSuchDevice || result.portErrorKind == PortError::Kind::NoDeviceBehindCom;
}

QString ExistingPortsHint()
{
    QStringList ports;
    for (const SerialPortEntry &entry : SerialPortInventory()) {
        const QString device = PathDisplay(entry.device);
        if (entry.console == ConsoleRole::None)
            ports << (entry.comNumber > 0 ? QStringLiteral("%1 (%2)").arg(ComName(entry.comNumber), device) : device);
    }
    if (ports.isEmpty())
        return QStringLiteral("no serial ports found; see qw735-write --list-ports");
    return QStringLiteral("serial ports found: %1; see qw735-write --list-ports").arg(ports.join(QStringLiteral(", ")));
}

}  // namespace qw735
