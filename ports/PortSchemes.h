// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ByteTransport.h"
#include "link/EventPump.h"
#include "link/PortMap.h"
#include "remote/RemotePort.h"
#include "remote/TlsIdentity.h"

#include <QString>
#include <expected>
#include <memory>
#include <optional>
#include <span>

namespace qw735 {

// What a PORT names, once read by its scheme: how messages and records name
// it, which device it reaches, and how its line is made.
class PortAddress {
public:
    virtual ~PortAddress() = default;

    virtual bool IsRemote() const { return false; }
    virtual bool IsTls() const { return false; }
    // See PortName.
    virtual QString Describe() const = 0;
    virtual QString DeviceBehind() const = 0;
    virtual QString DeviceKey() const = 0;
    [[nodiscard]] virtual std::unique_ptr<ByteTransport> MakeTransport(EventPump &pump, const std::optional<TlsIdentity> &tls,
                                                                       const RemoteLimits &limits) const = 0;
};

// One way of writing a PORT: whether a text is written so, and what it
// names. A new kind of port is a row of the table and its address.
struct PortScheme {
    bool (*claims)(const QString &text);
    // The error is a usage error: the text is written in this scheme, but
    // names no port.
    std::expected<std::shared_ptr<const PortAddress>, QString> (*parse)(const QString &text, const PortMap &map);
};

// Every scheme, in the order a text is offered to them; the last, a device
// path, claims every text.
std::span<const PortScheme> PortSchemes();

}  // namespace qw735
