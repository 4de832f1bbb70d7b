// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/PortMap.h"

#include <QString>
#include <QStringList>
#include <expected>

namespace qw735 {

// The device a PORT names: the device behind "COM3" in `map` (empty when
// there is none), otherwise the text itself.
QString DeviceBehind(const QString &port, const PortMap &map = SystemComDevices);

// Refuses ports of which two reach one device: "COM1" and the device path
// behind it, a symbolic link and its target, the same path twice. Devices
// are compared by device number where they exist, otherwise by their text.
// The error names both ports and the device.
std::expected<void, QString> CheckDistinctDevices(const QStringList &ports, const PortMap &map = SystemComDevices);

}  // namespace qw735
