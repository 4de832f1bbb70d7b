// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

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
// opening it.
struct SerialPortEntry {
    int comNumber = 0;     // as the windows number it; 0 when it has none
    QString device;        // /dev/ttyUSB0
    bool console = false;  // the system console: never numbered, never written to
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

// The latency timer of the serial device `device` (a path under /dev,
// links resolved), in ms, as sysfs shows it; -1 when it shows none.
int LatencyTimerMs(const QString &device);

}  // namespace qw735
