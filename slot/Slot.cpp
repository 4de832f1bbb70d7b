// SPDX-License-Identifier: GPL-2.0-or-later
#include "slot/Slot.h"

#include "base/PathName.h"
#include "link/PortMap.h"
#include "remote/RemotePort.h"

#include <QDir>
#include <fnmatch.h>

namespace qw735 {

namespace {

// The glob characters fnmatch(3) gives a meaning to.
bool HasWildcard(QStringView text)
{
    return text.contains(u'*') || text.contains(u'?') || text.contains(u'[');
}

bool HasScheme(const QString &text, const char *scheme)
{
    return text.startsWith(QLatin1String(scheme) + u':', Qt::CaseInsensitive);
}

}  // namespace

std::expected<Slot, SlotError> Slot::Parse(const QString &text, const QString &workingFolder)
{
    Slot slot;
    slot.text_ = text;
    if (text.isEmpty())
        return std::unexpected(SlotError{SlotError::Kind::Empty, QStringLiteral("the slot name is empty")});
    if (HasScheme(text, RemotePort::Scheme) || HasScheme(text, RemotePort::TlsScheme))
        return ParseRemote(std::move(slot));
    if (const auto number = ParseComName(text)) {
        if (*number == 0)
            return std::unexpected(SlotError{SlotError::Kind::ComOutOfRange,
                                             QStringLiteral("%1 is out of range: the Com numbers are %2..%3")
                                                 .arg(text, ComName(1), ComName(ComPortCount))});
        slot.kind_ = Kind::Com;
        slot.number_ = *number;
        return slot;
    }
    return ParsePath(std::move(slot), workingFolder);
}

std::expected<Slot, SlotError> Slot::ParseRemote(Slot slot)
{
    const QString &url = slot.text_;
    const bool tls = HasScheme(url, RemotePort::TlsScheme);
    const auto endpoint = ParseRemoteEndpoint(url, tls);
    if (!endpoint)
        return std::unexpected(SlotError{SlotError::Kind::NotARemoteSlot,
                                         QStringLiteral("%1 is no remote slot: write %2://HOST:PORT, PORT 1..65535")
                                             .arg(PathDisplay(url), QLatin1String(tls ? RemotePort::TlsScheme : RemotePort::Scheme))});
    slot.kind_ = Kind::Remote;
    slot.host_ = endpoint->host;
    slot.port_ = endpoint->port;
    slot.tls_ = tls;
    return slot;
}

std::expected<Slot, SlotError> Slot::ParsePath(Slot slot, const QString &workingFolder)
{
    const QString &text = slot.text_;
    // A bare name is a device in /dev, as the kernel names it.
    const bool bare = !text.contains(u'/') && text != u"." && text != u"..";
    const QString base = bare ? QStringLiteral("/dev")
                         : workingFolder.isEmpty() ? QDir::currentPath()
                                                   : workingFolder;
    const QString path = QDir::cleanPath(QDir(base).absoluteFilePath(text));
    const qsizetype slash = path.lastIndexOf(u'/');
    slot.folder_ = slash == 0 ? QStringLiteral("/") : path.left(slash);
    slot.name_ = path.mid(slash + 1);
    const QString lastName = text.mid(text.lastIndexOf(u'/') + 1);
    if (lastName.isEmpty() || lastName == u"." || lastName == u"..")
        return std::unexpected(SlotError{SlotError::Kind::FolderOnly,
                                         QStringLiteral("%1 names a folder: a slot is a device in it, or a pattern such as %2/*")
                                             .arg(PathDisplay(text), PathDisplay(path == u"/" ? QString() : path))});
    if (HasWildcard(slot.folder_))
        return std::unexpected(SlotError{SlotError::Kind::WildcardInFolder,
                                         QStringLiteral("%1 has a wildcard in a folder's name: a slot's pattern may have them in its last name only")
                                             .arg(PathDisplay(text))});
    slot.kind_ = HasWildcard(slot.name_) ? Kind::Pattern : Kind::Device;
    return slot;
}

QString Slot::Describe() const
{
    return PathDisplay(text_);
}

bool Slot::Holds(const QString &name) const
{
    switch (kind_) {
    case Kind::Device: return name == name_;
    // FNM_PERIOD: a wildcard does not match a leading dot (udev's temporary names).
    case Kind::Pattern: return ::fnmatch(PathBytes(name_).constData(), PathBytes(name).constData(), FNM_PERIOD) == 0;
    case Kind::Com:
    case Kind::Remote: return false;
    }
    std::unreachable();
}

QString Slot::Key() const
{
    switch (kind_) {
    case Kind::Device: return QStringLiteral("path:%1/%2").arg(folder_ == u"/" ? QString() : folder_, name_);
    case Kind::Pattern: return QStringLiteral("pattern:%1/%2").arg(folder_ == u"/" ? QString() : folder_, name_);
    case Kind::Com: return QStringLiteral("com:%1").arg(number_);
    // One server however its URL is spelled: the scheme and the host in
    // any case, a trailing slash, the port with leading zeros.
    case Kind::Remote: return QStringLiteral("remote:%1:%2").arg(host_.toLower()).arg(port_);
    }
    std::unreachable();
}

std::expected<std::vector<Slot>, SlotError> ParseSlots(const QStringList &texts, const QString &workingFolder)
{
    std::vector<Slot> parsed;
    for (const QString &text : texts) {
        auto slot = Slot::Parse(text, workingFolder);
        if (!slot)
            return std::unexpected(slot.error());
        for (const Slot &earlier : parsed) {
            if (earlier.Key() == slot->Key())
                return std::unexpected(SlotError{SlotError::Kind::NamedTwice,
                                                 QStringLiteral("%1 and %2 name the same slot").arg(earlier.Describe(), slot->Describe())});
        }
        parsed.push_back(std::move(*slot));
    }
    return parsed;
}

}  // namespace qw735
