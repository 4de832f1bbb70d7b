// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/PortMap.h"

#include <QString>
#include <QStringList>
#include <expected>

namespace qw735 {

// The device a PORT names, as the port opens it: COM3 through `map`, a path
// or a bare name resolved as DeviceLock resolves it. The text itself when it
// names nothing here (a missing device, a remote port); empty for a Com with
// no device behind it.
QString DeviceBehind(const QString &port, const PortMap &map = SystemComDevices);

// Refuses ports of which two reach one device: "COM1" and the device path
// behind it, a symbolic link and its target, the same name twice. Devices
// compare by device number, anything else by its text. The error names both
// ports and the device.
std::expected<void, QString> CheckDistinctDevices(const QStringList &ports, const PortMap &map = SystemComDevices);

}  // namespace qw735
