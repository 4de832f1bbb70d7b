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
// path (absolute; relative to the working directory when it exists there;
// otherwise a name in /dev), or a board on another machine as
// rfc2217://HOST:PORT. The error says why the text names no port at all
// (empty, a Com number out of range); it is a usage error, not a failure to
// open.
std::expected<std::unique_ptr<ByteTransport>, QString> TransportForPort(const QString &port,
                                                                       const PortMap &map = SystemComDevices);

}  // namespace qw735
