// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/DeviceLock.h"

#include "base/PathName.h"
#include "link/ConsoleDevices.h"
#include "link/PortInventory.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace qw735 {

namespace {

// /dev/ptmx, and /dev/pts/ptmx: every open makes a new pseudo-terminal, with
// nothing behind it that could ever answer.
constexpr unsigned PtmxMajor = 5;
constexpr unsigned PtmxMinor = 2;

// Where serial programs keep lock files such as LCK..ttyUSB0, in the order
// the serial port library looks for a usable one.
constexpr const char *LockDirectories[] = {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                                           "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock"};

// The running process a lock file of `device` names; 0 when there is none.
// Such files give the process ID as decimal text on their first line.
pid_t LockFileOwner(const QString &device)
{
    QString name = device.startsWith(u"/dev/") ? device.mid(5) : device;
    name.replace(u'/', u'_');
    for (const char *dir : LockDirectories) {
        QFile file(QStringLiteral("%1/LCK..%2").arg(QLatin1String(dir), name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        bool ok = false;
        const auto pid = static_cast<pid_t>(file.read(64).split('\n').value(0).trimmed().toInt(&ok));
        return ok && pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM) ? pid : 0;
    }
    return 0;
}

// On Debian a serial device is mode 0660, group dialout: a user outside the
// group cannot open it, and one just added must log in again.
QString PermissionReason(const QByteArray &device)
{
    struct stat info {};
    if (::stat(device.constData(), &info) != 0 || (info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return QStringLiteral("permission denied");
    group entry {};
    group *found = nullptr;
    char buffer[4096];
    const QString name = ::getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found
                             ? QString::fromLocal8Bit(found->gr_name)
                             : QString::number(info.st_gid);
    return QStringLiteral("permission denied (the device belongs to the group \"%1\": add the user to that group, then log in again)")
        .arg(name);
}

// The processes that hold the device without a lock, for "Cannot open PORT: ".
QString HeldReason(const QList<PortUser> &users)
{
    return QStringLiteral("it is open in %1, which would take the board's replies: end %2 first")
        .arg(UsersText(users), QLatin1String(users.size() == 1 ? "that program" : "those programs"));
}

}  // namespace

void DeviceLock::Release()
{
    fd_.Reset();
}

std::expected<DeviceLock, PortError> DeviceLock::Take(const QString &path)
{
    using enum PortError::Kind;
    const auto refused = [](PortError::Kind kind, const QString &reason) { return std::unexpected(PortError{kind, reason}); };
    DeviceLock lock;
    lock.device_ = ResolveDevicePath(path);
    const QByteArray device = PathBytes(lock.device_);
    struct stat info {};
    if (lock.device_.isEmpty() || ::stat(device.constData(), &info) != 0)
        return refused(NoSuchDevice, QStringLiteral("no such device"));
    if (S_ISCHR(info.st_mode) && major(info.st_rdev) == PtmxMajor && minor(info.st_rdev) == PtmxMinor)
        return refused(NotASerialPort, QStringLiteral("it is the pseudo-terminal multiplexer (/dev/ptmx), not a serial port"));
    // A file, a directory, /dev/null: the serial port library would only
    // say that the line settings cannot be read from it.
    const QString notAPort = QStringLiteral("%1 is not a serial port").arg(path);
    if (!S_ISCHR(info.st_mode))
        return refused(NotASerialPort, notAPort);
    // Refused before the open: whatever is opened here, the kernel's
    // messages or a login may be waiting on it.
    if (const ConsoleRole role = ConsoleRoleOf(lock.device_, info.st_rdev, ConsoleList::Read()); role != ConsoleRole::None)
        return refused(Console, ConsoleRefusal(role));

    // Opening changes nothing on the line; O_NONBLOCK keeps it from waiting
    // for a carrier.
    lock.fd_.Reset(::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!lock.fd_.Valid()) {
        const int error = errno;
        switch (error) {
        case EACCES:
        case EPERM: return refused(NoPermission, PermissionReason(device));
        case EBUSY: return refused(InUse, InUseReason(lock.device_));  // another program's exclusive mode
        case ENOENT:
        case ENODEV:
        case ENXIO: return refused(NoSuchDevice, QStringLiteral("no such device"));
        default: return refused(OpenFailed, QString::fromLocal8Bit(std::strerror(error)));
        }
    }
    if (!::isatty(lock.fd_.Get()))
        return refused(NotASerialPort, notAPort);
    // A file system that cannot lock leaves the port usable, unlocked.
    if (::flock(lock.fd_.Get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return refused(InUse, InUseReason(lock.device_));
    // A terminal program or a plain `cat` takes no lock, yet it would read
    // the board's replies before the writer could.
    if (const QList<PortUser> users = DeviceUsers(lock.device_); !users.isEmpty())
        return refused(HeldWithoutLock, HeldReason(users));
    return lock;
}

DeviceName ReadDeviceName(const QString &name)
{
    struct stat info {};
    if (QDir::isRelativePath(name) && ::stat(PathBytes(name).constData(), &info) == 0) {
        const QString here = QDir::cleanPath(QDir::currentPath() + u'/' + name);  // a string operation: keeps every byte
        return {here, here};
    }
    const bool bare = !name.startsWith(u'/') && !name.startsWith(u"./") && !name.startsWith(u"../");
    return {name, bare ? QStringLiteral("/dev/") + name : name};
}

QString ResolveDevicePath(const QString &path)
{
    char resolved[PATH_MAX];
    if (!::realpath(PathBytes(ReadDeviceName(path).file).constData(), resolved))
        return {};
    return PathString(QByteArray(resolved));
}

QString InUseReason(const QString &device)
{
    const pid_t owner = LockFileOwner(device);
    return owner > 0 ? QStringLiteral("it is in use by another program (process %1)").arg(owner)
                     : QStringLiteral("it is in use by another program");
}

}  // namespace qw735
