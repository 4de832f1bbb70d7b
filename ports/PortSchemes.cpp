// SPDX-License-Identifier: GPL-2.0-or-later
#include "ports/PortSchemes.h"

#include "base/PathName.h"
#include "link/DeviceLock.h"
#include "ports/ComPort.h"

#include <sys/stat.h>

namespace qw735 {

namespace {

// Two local ports reach one device when their devices have one number
// (also a node made twice with mknod); another file compares by its path,
// anything that is no file here by its text.
QString LocalDeviceKey(const QString &device)
{
    struct stat info {};
    if (::stat(PathBytes(device).constData(), &info) != 0)
        return QStringLiteral("name:") + device;
    if (S_ISCHR(info.st_mode))
        return QStringLiteral("node:%1").arg(static_cast<quint64>(info.st_rdev));
    return QStringLiteral("file:") + device;
}

// The device a local name opens, as its own path; the name itself when it
// is no file.
QString ResolvedOrAsNamed(const QString &name)
{
    const QString device = ResolveDevicePath(name);
    return device.isEmpty() ? name : device;
}

// A device path: absolute, relative to the working directory when it
// exists there, otherwise a name in /dev.
class DevicePath final : public PortAddress {
public:
    explicit DevicePath(QString path) : path_(std::move(path)) {}

    QString Describe() const override { return PathDisplay(path_); }
    QString DeviceBehind() const override { return ResolvedOrAsNamed(path_); }
    QString DeviceKey() const override { return LocalDeviceKey(DeviceBehind()); }
    std::unique_ptr<ByteTransport> MakeTransport(EventPump &, const std::optional<TlsIdentity> &, const RemoteLimits &) const override
    {
        auto serial = std::make_unique<SerialPort>();
        serial->SelectDevice(path_);
        return serial;
    }

private:
    QString path_;  // as messages show it
};

// COM1..COM10: the device behind the number in the COM map.
class ComNumber final : public PortAddress {
public:
    ComNumber(QString text, int number, PortMap map) : text_(std::move(text)), number_(number), map_(std::move(map)) {}

    QString Describe() const override { return DescribeCom(map_, number_); }
    QString DeviceBehind() const override
    {
        const QString device = ComDevice(map_, number_);
        return device.isEmpty() ? QString() : ResolvedOrAsNamed(device);
    }
    // A Com with nothing behind it fails when opened, with its own message.
    QString DeviceKey() const override
    {
        const QString device = DeviceBehind();
        return device.isEmpty() ? QStringLiteral("com:") + text_.toUpper() : LocalDeviceKey(device);
    }
    std::unique_ptr<ByteTransport> MakeTransport(EventPump &, const std::optional<TlsIdentity> &, const RemoteLimits &) const override
    {
        auto serial = std::make_unique<ComPort>(map_);
        serial->SelectPort(number_);
        return serial;
    }

private:
    QString text_;
    int number_;
    PortMap map_;
};

// rfc2217://HOST:PORT, and rfc2217+tls://HOST:PORT: a board's serial port
// served by another machine.
class RemoteServer final : public PortAddress {
public:
    RemoteServer(QString url, QString host, quint16 port, bool tls) : url_(std::move(url)), host_(std::move(host)), port_(port), tls_(tls) {}

    bool IsRemote() const override { return true; }
    bool IsTls() const override { return tls_; }
    QString Describe() const override { return url_; }
    QString DeviceBehind() const override { return url_; }
    // One server however its URL is spelled: the scheme and the host in any
    // case, a trailing slash, the port with leading zeros. What differs
    // after that (another name for the same address) is the user's to know.
    QString DeviceKey() const override { return QStringLiteral("remote:%1:%2").arg(host_.toLower()).arg(port_); }
    std::unique_ptr<ByteTransport> MakeTransport(EventPump &pump, const std::optional<TlsIdentity> &tls,
                                                 const RemoteLimits &limits) const override
    {
        // A plain port has no use for the TLS library, and does not load it.
        std::optional<TlsIdentity> client;
        if (tls_)
            client = tls.value_or(TlsIdentity());
        return std::make_unique<RemotePort>(url_, host_, port_, std::move(client), pump, limits);
    }

private:
    QString url_;  // as written
    QString host_;
    quint16 port_;
    bool tls_;
};

bool HasScheme(const QString &text, const char *scheme)
{
    return text.startsWith(QLatin1String(scheme) + u':', Qt::CaseInsensitive);
}

std::expected<std::shared_ptr<const PortAddress>, QString> ParseUrl(const QString &url, bool tls)
{
    const auto endpoint = ParseRemoteEndpoint(url, tls);
    if (!endpoint)
        return std::unexpected(QStringLiteral("%1 is no remote port: write %2://HOST:PORT, PORT 1..65535")
                                   .arg(url, QLatin1String(tls ? RemotePort::TlsScheme : RemotePort::Scheme)));
    return std::make_shared<RemoteServer>(url, endpoint->host, endpoint->port, tls);
}

const PortScheme Schemes[] = {
    // rfc2217+tls://HOST:PORT
    {[](const QString &text) { return HasScheme(text, RemotePort::TlsScheme); },
     [](const QString &text, const PortMap &) { return ParseUrl(text, true); }},
    // rfc2217://HOST:PORT
    {[](const QString &text) { return HasScheme(text, RemotePort::Scheme); },
     [](const QString &text, const PortMap &) { return ParseUrl(text, false); }},
    // COM1..COM10, in any case
    {[](const QString &text) { return ParseComName(text).has_value(); },
     [](const QString &text, const PortMap &map) -> std::expected<std::shared_ptr<const PortAddress>, QString> {
         const int number = ParseComName(text).value_or(0);
         if (number == 0)
             return std::unexpected(QStringLiteral("%1 is out of range: the Com numbers are %2..%3")
                                        .arg(text, ComName(1), ComName(ComPortCount)));
         return std::make_shared<ComNumber>(text, number, map);
     }},
    // A device path, whatever else the text is
    {[](const QString &) { return true; },
     [](const QString &text, const PortMap &) -> std::expected<std::shared_ptr<const PortAddress>, QString> {
         return std::make_shared<DevicePath>(ReadDeviceName(text).path);
     }},
};

}  // namespace

std::span<const PortScheme> PortSchemes()
{
    return Schemes;
}

}  // namespace qw735
