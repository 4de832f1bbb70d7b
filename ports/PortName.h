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

class PortAddress;

// A PORT as a user writes it, read once by the scheme it is written in (see
// ports/PortSchemes.h): "COM3" (numbered as the windows number them,
// through a port map), a device path (absolute; relative to the working
// directory when it exists there; otherwise a name in /dev), or a board on
// another machine as rfc2217://HOST:PORT or rfc2217+tls://HOST:PORT.
// Everything else asks this value, which never reads the text again.
class PortName {
public:
    // The error says why the text names no port at all (empty, a Com
    // number out of range, a malformed URL); it is a usage error, not a
    // failure to open.
    [[nodiscard]] static std::expected<PortName, QString> Parse(const QString &text, PortMap map = SystemComDevices);

    // As the user wrote it, every byte kept.
    const QString &Text() const { return text_; }
    // Served by another machine.
    bool IsRemote() const;
    // Served over TLS (rfc2217+tls://), the only kind that uses the
    // client's TLS identity.
    bool IsTls() const;
    // How messages name the port: "COM3 (/dev/ttyUSB0)", "/dev/ttyUSB0",
    // the URL as written.
    QString Describe() const;
    // The device it opens, as its own path (links resolved, a bare name
    // under /dev): what the production record names. The text itself for a
    // remote port or a name that is no file; empty for a Com with nothing
    // behind it.
    QString DeviceBehind() const;
    // Equal for two ports that reach one device: "COM1" and the device path
    // behind it, a symbolic link and its target, one server however its URL
    // is spelled. Devices compare by device number, anything else by text.
    QString DeviceKey() const;
    // Its line, not yet open. A remote port's waits pump `pump`, which must
    // outlive the line, within `limits`; over TLS it is the client `tls`
    // (none given: it trusts the system's CAs and has no certificate).
    [[nodiscard]] std::unique_ptr<ByteTransport> MakeTransport(EventPump &pump, const std::optional<TlsIdentity> &tls,
                                                               const RemoteLimits &limits = {}) const;

private:
    PortName(QString text, std::shared_ptr<const PortAddress> address);

    QString text_;
    std::shared_ptr<const PortAddress> address_;  // what the text names; never null
};

// Refuses ports of which two reach one device (see DeviceKey). The error
// names both ports and the device.
[[nodiscard]] std::expected<void, QString> CheckDistinctDevices(std::span<const PortName> ports);

}  // namespace qw735
