// SPDX-License-Identifier: GPL-2.0-or-later
#include "ports/PortName.h"

#include "base/PathName.h"
#include "ports/PortSchemes.h"

#include <QStringList>
#include <algorithm>

namespace qw735 {

PortName::PortName(QString text, std::shared_ptr<const PortAddress> address) : text_(std::move(text)), address_(std::move(address)) {}

std::expected<PortName, QString> PortName::Parse(const QString &text, PortMap map)
{
    if (text.isEmpty())
        return std::unexpected(QStringLiteral("the port name is empty"));
    const auto schemes = PortSchemes();
    const auto scheme = std::ranges::find_if(schemes, [&](const PortScheme &s) { return s.claims(text); });
    auto address = scheme->parse(text, map);
    if (!address)
        return std::unexpected(address.error());
    return PortName(text, std::move(*address));
}

bool PortName::IsRemote() const
{
    return address_->IsRemote();
}

bool PortName::IsTls() const
{
    return address_->IsTls();
}

QString PortName::Describe() const
{
    return address_->Describe();
}

QString PortName::DeviceBehind() const
{
    return address_->DeviceBehind();
}

QString PortName::DeviceKey() const
{
    return address_->DeviceKey();
}

std::unique_ptr<ByteTransport> PortName::MakeTransport(EventPump &pump, const std::optional<TlsIdentity> &tls,
                                                      const RemoteLimits &limits) const
{
    return address_->MakeTransport(pump, tls, limits);
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
