// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ByteTransport.h"
#include "link/PortMap.h"

#include <QString>
#include <expected>
#include <memory>

namespace qw735 {

// Turns a PORT as a user writes it into the line it names, not yet open:
// "COM3" (numbered as the windows number them, through `map`), a device
// path, or a board on another machine as rfc2217://HOST:PORT. The error says why the text names no port at all; it is a usage
// error, not a failure to open.
std::expected<std::unique_ptr<ByteTransport>, QString> TransportForPort(const QString &port,
                                                                       const PortMap &map = SystemComDevices);

}  // namespace qw735
