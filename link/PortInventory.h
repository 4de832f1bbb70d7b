// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ConsoleDevices.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace qw735 {

// A process that holds a serial device open.
struct PortUser {
    qint64 pid = 0;
    QString command;  // its name, as the kernel keeps it
};

// One serial device on this machine, as far as the system says without
// opening it. Names keep their bytes (see base/PathName.h): a USB string or
// a link's name need not be UTF-8, and may hold control characters.
struct SerialPortEntry {
    int comNumber = 0;     // as the windows number it; 0 when it has none
    QString device;        // /dev/ttyUSB0
    // The system console or the terminal this runs in: never numbered (the
    // console), never written to.
    ConsoleRole console = ConsoleRole::None;
    QStringList byId;      // its links under /dev/serial/by-id
    QStringList byPath;    // and under /dev/serial/by-path
    // From the USB device it sits on; empty when it is none or says nothing.
    QString vendorId, productId, manufacturer, product, serialNumber;
    QList<PortUser> users;  // other processes that have it open
    // How long the adapter holds received bytes before passing them on, in
    // ms, where the kernel shows it (FTDI adapters); -1 where it does not.
    int latencyTimerMs = -1;
};

// Every serial device: those the Com numbers go to, in their order, past
// the tenth too, then the console and other UARTs that have hardware behind
// them. Reads sysfs, /dev/serial and /proc only: opening a device to probe
// it could disturb whatever is attached.
QList<SerialPortEntry> SerialPortInventory();

// The other processes that have `device` (its own path, links resolved)
// open, as far as the user may see them in /proc. A process that holds the
// other side of a pseudo-terminal is the far end of the line (a simulated
// board), not a user of it, and is left out.
QList<PortUser> DeviceUsers(const QString &device);

// "process 4242 (cat), process 4300 (minicom)", each name as messages show
// names (control characters and bytes that are not UTF-8 as \xNN).
QString UsersText(const QList<PortUser> &users);

// The latency timer of the serial device `device` (a path under /dev,
// links resolved), in ms, as sysfs shows it; -1 when it shows none.
int LatencyTimerMs(const QString &device);

}  // namespace qw735
