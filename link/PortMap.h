// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace qw735 {

inline constexpr int ComPortCount = 10;

// Lists the devices behind COM1, COM2, ... in order (index 0 is COM1).
// Both front ends take one of these so that tests can point them at a
// pseudo-terminal instead of the machine's ports.
using PortMap = std::function<QStringList()>;

// The machine's serial devices in a stable order: USB adapters first
// (ttyUSB*, then ttyACM*, each in numeric order), then on-board UARTs that
// have hardware behind them. The system console is left out, so that a
// click on a Com never talks to the console. Looks at sysfs and
// /proc/consoles only: opening a device to probe it could disturb whatever
// is attached.
QStringList SystemComDevices();
// The same, reading the tty class directory `sysTty` and the console list
// `procConsoles` (tests use fake ones).
QStringList ComDevicesUnder(const QString &sysTty, const QString &procConsoles = QStringLiteral("/proc/consoles"));
// Every such device in that order, past the tenth too.
QStringList SerialDevicesUnder(const QString &sysTty, const QString &procConsoles = QStringLiteral("/proc/consoles"));

// The device for COM `number` (1..10) under `map`; empty when there is none.
QString ComDevice(const PortMap &map, int number);

// "COM3" for a number; the name the user knows the port by.
QString ComName(int number);
// How messages name COM `number`: "COM3 (/dev/ttyUSB0)" with the device
// behind it under `map`, "COM3" when there is none.
QString DescribeCom(const PortMap &map, int number);

// Reads "COM3"/"com3" as 3, a Com name out of 1..10 (COM0, COM11) as 0;
// nothing when the text is no Com name at all.
std::optional<int> ParseComName(const QString &text);

}  // namespace qw735
