// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/PortName.h"

#include "base/PathName.h"
#include "link/DeviceLock.h"
#include "link/SerialPort.h"

#include <QStringList>
#include <QUrl>
#include <sys/stat.h>

namespace qw735 {

namespace {

bool HasScheme(const QString &text, const char *scheme)
{
    return text.startsWith(QLatin1String(scheme) + u':', Qt::CaseInsensitive);
}

}  // namespace

std::expected<PortName, QString> PortName::Parse(const QString &text, PortMap map)
{
    PortName name(text, std::move(map));
    if (text.isEmpty())
        return std::unexpected(QStringLiteral("the port name is empty"));
    if (HasScheme(text, RemotePort::Scheme) || HasScheme(text, RemotePort::TlsScheme))
        return ParseUrl(std::move(name));
    if (const auto number = ParseComName(text)) {
        if (*number == 0)
            return std::unexpected(QStringLiteral("%1 is out of range: the Com numbers are %2..%3")
                                       .arg(text, ComName(1), ComName(ComPortCount)));
        name.kind_ = Kind::Com;
        name.number_ = *number;
        return name;
    }
    name.path_ = ReadDeviceName(text).path;
    return name;
}

std::expected<PortName, QString> PortName::ParseUrl(PortName name)
{
    const QString &url = name.text_;
    const bool tls = HasScheme(url, RemotePort::TlsScheme);
    const char *scheme = tls ? RemotePort::TlsScheme : RemotePort::Scheme;
    const QUrl parsed(url, QUrl::StrictMode);
    const int port = parsed.port();
    if (!parsed.isValid() || parsed.scheme() != QLatin1String(scheme) || parsed.host().isEmpty() || port < 1
        || !parsed.userInfo().isEmpty() || !(parsed.path().isEmpty() || parsed.path() == u"/") || parsed.hasQuery()
        || parsed.hasFragment())
        return std::unexpected(QStringLiteral("%1 is no remote port: write %2://HOST:PORT, PORT 1..65535").arg(url, QLatin1String(scheme)));
    name.kind_ = Kind::Remote;
    name.host_ = parsed.host();
    name.port_ = static_cast<quint16>(port);
    name.tls_ = tls;
    return name;
}

QString PortName::Describe() const
{
    switch (kind_) {
    case Kind::Com: return DescribeCom(map_, number_);
    case Kind::Device: return PathDisplay(path_);
    case Kind::Remote: return text_;
    }
    std::unreachable();
}

QString PortName::DeviceBehind() const
{
    if (kind_ == Kind::Remote)
        return text_;
    const QString name = kind_ == Kind::Com ? ComDevice(map_, number_) : path_;
    if (name.isEmpty())
        return {};
    const QString device = ResolveDevicePath(name);
    return device.isEmpty() ? name : device;
}

QString PortName::DeviceKey() const
{
    // One server however its URL is spelled: the scheme and the host in any
    // case, a trailing slash, the port with leading zeros. What differs
    // after that (another name for the same address) is the user's to know.
    if (kind_ == Kind::Remote)
        return QStringLiteral("remote:%1:%2").arg(host_.toLower()).arg(port_);
    // A Com with nothing behind it fails when opened, with its own message.
    const QString device = DeviceBehind();
    if (device.isEmpty())
        return QStringLiteral("com:") + text_.toUpper();
    // A device node by its number (also one made twice with mknod), another
    // file by its path, anything that is no file here by its text.
    struct stat info {};
    if (::stat(PathBytes(device).constData(), &info) != 0)
        return QStringLiteral("name:") + device;
    if (S_ISCHR(info.st_mode))
        return QStringLiteral("node:%1").arg(static_cast<quint64>(info.st_rdev));
    return QStringLiteral("file:") + device;
}

std::unique_ptr<ByteTransport> PortName::MakeTransport(EventPump &pump, const RemoteLimits &limits) const
{
    if (kind_ == Kind::Remote)
        return std::make_unique<RemotePort>(text_, host_, port_, tls_, pump, limits);
    auto serial = std::make_unique<SerialPort>(map_);
    if (kind_ == Kind::Com)
        serial->SelectPort(number_);
    else
        serial->SelectDevice(path_);
    return serial;
}

std::expected<void, QString> CheckDistinctDevices(std::span<const PortName> ports)
{
    QStringList keys;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const QString key = ports[i].DeviceKey();
        if (const qsizetype first = keys.indexOf(key); first >= 0) {
            const QString device = ports[i].DeviceBehind();
            return std::unexpected(QStringLiteral("%1 and %2 name the same device (%3); each board needs a port of its own")
                                       .arg(PathDisplay(ports[static_cast<std::size_t>(first)].Text()), PathDisplay(ports[i].Text()),
                                            PathDisplay(device.isEmpty() ? ports[i].Text() : device)));
        }
        keys << key;
    }
    return {};
}

}  // namespace qw735
