// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortInventory.h"

#include "base/PathName.h"
#include "link/PortMap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace qw735 {

namespace {

const QString SysTty = QStringLiteral("/sys/class/tty");

// The pseudo-terminal multiplexer under both of its names: a descriptor on
// it is the master side of one pseudo-terminal, whose number the kernel
// gives in the descriptor's fdinfo as "tty-index:".
constexpr const char *PtmxNames[] = {"/dev/ptmx", "/dev/pts/ptmx"};
constexpr QByteArrayView TtyIndexField = "tty-index:";

// A sysfs attribute or /proc file, without the blanks and the newline the
// kernel adds, every byte kept.
QString ReadAttribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return PathString(file.read(4096).trimmed());
}

// The names in `dir`, sorted, as bytes: names need not be UTF-8, and a name
// decoded by Qt's listing would lose such bytes and then name nothing.
QList<QByteArray> EntryNames(const QByteArray &dir)
{
    QList<QByteArray> names;
    DIR *listing = ::opendir(dir.constData());
    if (!listing)
        return names;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names << QByteArray(entry->d_name);
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

QByteArray LinkTarget(const QByteArray &path)
{
    char target[PATH_MAX];
    const ssize_t size = ::readlink(path.constData(), target, sizeof target);
    return size > 0 ? QByteArray(target, size) : QByteArray();
}

// USB attributes sit on the USB device, a few levels above the tty's own
// device (interface, then device): the nearest directory with an idVendor.
void ReadUsbAttributes(const QString &name, SerialPortEntry &entry)
{
    QString dir = QFileInfo(SysTty + u'/' + name + QStringLiteral("/device")).canonicalFilePath();
    for (int up = 0; up < 6 && dir.size() > 1; ++up, dir = QFileInfo(dir).path()) {
        if (!QFile::exists(dir + QStringLiteral("/idVendor")))
            continue;
        entry.vendorId = ReadAttribute(dir + QStringLiteral("/idVendor"));
        entry.productId = ReadAttribute(dir + QStringLiteral("/idProduct"));
        entry.manufacturer = ReadAttribute(dir + QStringLiteral("/manufacturer"));
        entry.product = ReadAttribute(dir + QStringLiteral("/product"));
        entry.serialNumber = ReadAttribute(dir + QStringLiteral("/serial"));
        return;
    }
}

// The links under `dir` (udev's stable names) that lead to `device`.
QStringList LinksTo(const QByteArray &dir, const QString &device)
{
    QStringList links;
    const QByteArray wanted = PathBytes(device);
    for (const QByteArray &name : EntryNames(dir)) {
        const QByteArray link = dir + '/' + name;
        struct stat info {};
        char resolved[PATH_MAX];
        if (::lstat(link.constData(), &info) == 0 && S_ISLNK(info.st_mode) && ::realpath(link.constData(), resolved)
            && wanted == resolved)
            links << PathString(link);
    }
    return links;
}

// The pseudo-terminal whose master side the descriptor `fd` of process
// `pid` is, as its slave's path; empty when it is none.
QString FarEndOf(const QByteArray &pid, const QByteArray &fd)
{
    QFile info(QString::fromLatin1("/proc/" + pid + "/fdinfo/" + fd));
    if (!info.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : info.readAll().split('\n')) {
        if (line.startsWith(TtyIndexField))
            return QStringLiteral("/dev/pts/") + QString::fromLatin1(line.mid(TtyIndexField.size()).trimmed());
    }
    return {};
}

// What a file is, whatever its name: a process in another mount namespace
// (a container, a test's machine of its own) may hold a file of the same
// name that is another device.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    dev_t special = 0;  // of a character device: the device it stands for
    bool character = false;
};

std::optional<FileIdentity> IdentityOf(const QByteArray &path)
{
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino, info.st_rdev, S_ISCHR(info.st_mode)};
}

// Whether the descriptor whose /proc link is `fdLink` is the file `wanted`;
// when either cannot be told, the name alone decides.
bool SameFile(const QByteArray &fdLink, const std::optional<FileIdentity> &wanted)
{
    const std::optional<FileIdentity> held = IdentityOf(fdLink);
    if (!held || !wanted)
        return true;
    if (held->character && wanted->character)
        return held->special == wanted->special;
    return held->device == wanted->device && held->inode == wanted->inode;
}

// Processes with a descriptor on one of `devices`, by device; this process
// left out, and so is the far end of a pseudo-terminal. Only what the user
// may see of other processes.
QHash<QString, QList<PortUser>> UsersOf(const QStringList &devices)
{
    QHash<QString, QList<PortUser>> users;
    QHash<QString, std::optional<FileIdentity>> identities;
    for (const QString &device : devices)
        identities.insert(device, IdentityOf(PathBytes(device)));
    const QByteArray self = QByteArray::number(::getpid());
    for (const QByteArray &pid : EntryNames("/proc")) {
        bool number = false;
        pid.toLongLong(&number);
        if (!number || pid == self)
            continue;
        QStringList held;
        QSet<QString> farEnds;
        const QByteArray fds = "/proc/" + pid + "/fd/";
        for (const QByteArray &fd : EntryNames(fds)) {
            const QByteArray target = LinkTarget(fds + fd);
            if (std::find(std::begin(PtmxNames), std::end(PtmxNames), target) != std::end(PtmxNames))
                farEnds << FarEndOf(pid, fd);
            else if (const QString device = PathString(target); devices.contains(device) && !held.contains(device) &&
                                                                 SameFile(fds + fd, identities.value(device)))
                held << device;
        }
        for (const QString &device : held) {
            if (!farEnds.contains(device))
                users[device] << PortUser{pid.toLongLong(), ReadAttribute(QString::fromLatin1("/proc/" + pid + "/comm"))};
        }
    }
    return users;
}

}  // namespace

int LatencyTimerMs(const QString &device)
{
    // An attribute of the tty's own device (the USB serial port), beside
    // the driver's other settings.
    bool number = false;
    const int ms = ReadAttribute(SysTty + u'/' + QFileInfo(device).fileName() + QStringLiteral("/device/latency_timer")).toInt(&number);
    return number && ms >= 0 ? ms : -1;
}

QList<SerialPortEntry> SerialPortInventory()
{
    QList<SerialPortEntry> entries;
    const QStringList numbered = SerialDevicesUnder(SysTty);
    for (qsizetype i = 0; i < numbered.size(); ++i) {
        SerialPortEntry &entry = entries.emplace_back();
        entry.comNumber = i < ComPortCount ? static_cast<int>(i) + 1 : 0;
        entry.device = numbered[i];
    }
    // The console, and UARTs the numbering does not know by name (ttyAMA0,
    // ttymxc0, ...): whatever has hardware behind it, virtual consoles and
    // pseudo-terminals have none. A ttyS without a chip is a reserved name.
    for (const QString &name : QDir(SysTty).entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString device = QStringLiteral("/dev/") + name;
        const bool reserved = name.startsWith(u"ttyS") && ReadAttribute(SysTty + u'/' + name + QStringLiteral("/type")).toInt() == 0;
        if (numbered.contains(device) || reserved || !QFile::exists(SysTty + u'/' + name + QStringLiteral("/device")))
            continue;
        entries.emplace_back().device = device;
    }

    QStringList devices;
    for (const SerialPortEntry &entry : entries)
        devices << entry.device;
    const auto users = UsersOf(devices);
    const ConsoleList consoles = ConsoleList::Read(SysTty);
    for (SerialPortEntry &entry : entries) {
        struct stat info {};
        const bool node = ::stat(PathBytes(entry.device).constData(), &info) == 0 && S_ISCHR(info.st_mode);
        entry.console = ConsoleRoleOf(entry.device, node ? std::optional(info.st_rdev) : std::nullopt, consoles);
        ReadUsbAttributes(QFileInfo(entry.device).fileName(), entry);
        entry.byId = LinksTo("/dev/serial/by-id", entry.device);
        entry.byPath = LinksTo("/dev/serial/by-path", entry.device);
        entry.users = users.value(entry.device);
        entry.latencyTimerMs = LatencyTimerMs(entry.device);
    }
    return entries;
}

QList<PortUser> DeviceUsers(const QString &device)
{
    return UsersOf({device}).value(device);
}

QString UsersText(const QList<PortUser> &users)
{
    QStringList shown;
    for (const PortUser &user : users)
        shown << QStringLiteral("process %1 (%2)").arg(user.pid).arg(PathDisplay(user.command));
    return shown.join(QStringLiteral(", "));
}

}  // namespace qw735
