// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ByteTransport.h"
#include "link/PortMap.h"

#include <QString>
#include <QStringList>
#include <expected>
#include <memory>

namespace qw735 {

// Turns a PORT as a user writes it into the line it names, not yet open:
// "COM3" (numbered as the windows number them, through `map`), a device
// path (absolute; relative to the working directory when it exists there;
// otherwise a name in /dev), or a board on another machine as
// rfc2217://HOST:PORT or rfc2217+tls://HOST:PORT. The error says why the
// text names no port at all (empty, a Com number out of range); it is a
// usage error, not a failure to open.
[[nodiscard]] std::expected<std::unique_ptr<ByteTransport>, QString> TransportForPort(const QString &port,
                                                                       const PortMap &map = SystemComDevices);

// The device a PORT opens, as its own path (links resolved, a bare name
// under /dev): what the production record names. The text itself for a
// remote port or a name that is no file; empty for a Com with nothing
// behind it.
QString DeviceBehind(const QString &port, const PortMap &map = SystemComDevices);

// Refuses ports of which two reach one device: "COM1" and the device path
// behind it, a symbolic link and its target, the same name twice. Devices
// compare by device number, anything else by its text. The error names both
// ports and the device.
[[nodiscard]] std::expected<void, QString> CheckDistinctDevices(const QStringList &ports, const PortMap &map = SystemComDevices);

}  // namespace qw735
