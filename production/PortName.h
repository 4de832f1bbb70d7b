// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ByteTransport.h"
#include "link/EventPump.h"
#include "link/PortMap.h"
#include "remote/RemotePort.h"

#include <QString>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

namespace qw735 {

// A PORT as a user writes it, read once: "COM3" (numbered as the windows
// number them, through a port map), a device path (absolute; relative to
// the working directory when it exists there; otherwise a name in /dev), or
// a board on another machine as rfc2217://HOST:PORT or
// rfc2217+tls://HOST:PORT. Everything else asks this value, which never
// reads the text again.
class PortName {
public:
    // The error says why the text names no port at all (empty, a Com
    // number out of range, a malformed URL); it is a usage error, not a
    // failure to open.
    [[nodiscard]] static std::expected<PortName, QString> Parse(const QString &text, PortMap map = SystemComDevices);

    // As the user wrote it, every byte kept.
    const QString &Text() const { return text_; }
    // Served by another machine.
    bool IsRemote() const { return kind_ == Kind::Remote; }
    // Served over TLS (rfc2217+tls://), the only kind that uses the
    // client's certificates.
    bool IsTls() const { return kind_ == Kind::Remote && tls_; }
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
    // outlive the line, within `limits`.
    [[nodiscard]] std::unique_ptr<ByteTransport> MakeTransport(EventPump &pump, const RemoteLimits &limits = {}) const;

private:
    enum class Kind : std::uint8_t { Com, Device, Remote };

    PortName(QString text, PortMap map) : text_(std::move(text)), map_(std::move(map)) {}
    [[nodiscard]] static std::expected<PortName, QString> ParseUrl(PortName name);

    QString text_;
    PortMap map_;
    Kind kind_ = Kind::Device;
    int number_ = 0;  // of a Com
    QString path_;    // of a device, as messages show it
    QString host_;    // of a remote port
    quint16 port_ = 0;
    bool tls_ = false;
};

// Refuses ports of which two reach one device (see DeviceKey). The error
// names both ports and the device.
[[nodiscard]] std::expected<void, QString> CheckDistinctDevices(std::span<const PortName> ports);

}  // namespace qw735
