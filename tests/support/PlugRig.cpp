// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/PlugRig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <unistd.h>

namespace qw735::test {

namespace {

// Mounts the rig's machine over the real one's, in the namespace only, and
// runs the command: its arguments follow the script.
const char *const NamespaceScript = R"(set -e
mount --bind /dev/null "$RIG/dev/null"
mount --bind /dev/pts "$RIG/dev/pts"
mount --bind "$RIG/consoles" /proc/consoles
mount --bind "$RIG/sys" /sys
mount --rbind "$RIG/dev" /dev
exec "$@")";

// Where the kernel puts a USB adapter's tty in sysfs, by its number.
QString AdapterSysfsFolder(const QString &tty)
{
    const QString bus = QStringLiteral("1-%1").arg(tty.mid(QStringLiteral("ttyUSB").size()).toInt() + 1);
    return QStringLiteral("sys/devices/usb1/%1/%1:1.0/%2").arg(bus, tty);
}

}  // namespace

PlugRig::PlugRig()
{
    const QDir root(root_.path());
    for (const char *folder : {"dev/pts", "sys/class/tty"})
        EXPECT_TRUE(root.mkpath(QLatin1String(folder)));
    for (const char *file : {"dev/null", "consoles"}) {
        QFile made(root.filePath(QLatin1String(file)));
        EXPECT_TRUE(made.open(QIODevice::WriteOnly));
    }
}

QString PlugRig::Outside(const QString &inside) const
{
    EXPECT_TRUE(inside.startsWith(QStringLiteral("/dev/")) || inside.startsWith(QStringLiteral("/sys/"))) << inside.toStdString();
    return root_.path() + inside;
}

QStringList PlugRig::InNamespace(const QStringList &command) const
{
    return QStringList{QStringLiteral("env"), QStringLiteral("RIG=") + root_.path(), QStringLiteral("unshare"),
                       QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                       QStringLiteral("sh"), QStringLiteral("-c"), QLatin1String(NamespaceScript), QStringLiteral("sh")}
           + command;
}

void PlugRig::Link(const QString &name, const QString &target)
{
    const QFileInfo link(Outside(name));
    EXPECT_TRUE(QDir().mkpath(link.path()));
    const QByteArray temporary = QFile::encodeName(link.path() + QStringLiteral("/.#") + link.fileName() + QStringLiteral("1f0e"));
    EXPECT_EQ(::symlink(QFile::encodeName(target).constData(), temporary.constData()), 0) << name.toStdString();
    EXPECT_EQ(::rename(temporary.constData(), QFile::encodeName(link.filePath()).constData()), 0) << name.toStdString();
}

void PlugRig::Unlink(const QString &name)
{
    EXPECT_EQ(::unlink(QFile::encodeName(Outside(name)).constData()), 0) << name.toStdString();
    const QString dev = root_.path() + QStringLiteral("/dev");
    QDir folder = QFileInfo(Outside(name)).dir();
    while (folder.path() != dev && folder.isEmpty(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QString path = folder.path();
        folder.cdUp();
        EXPECT_TRUE(folder.rmdir(QFileInfo(path).fileName())) << path.toStdString();
    }
}

void PlugRig::PlugAdapter(const QString &tty, const QString &target)
{
    const QDir root(root_.path());
    const QString device = AdapterSysfsFolder(tty);
    EXPECT_TRUE(root.mkpath(device));
    EXPECT_TRUE(root.mkpath(QStringLiteral("sys/class/tty/") + tty));
    EXPECT_TRUE(QFile::link(QStringLiteral("../../../") + device.mid(4), root.filePath(QStringLiteral("sys/class/tty/%1/device").arg(tty))));
    EXPECT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(Outside(QStringLiteral("/dev/") + tty)).constData()), 0)
        << tty.toStdString();
}

void PlugRig::UnplugAdapter(const QString &tty)
{
    QDir root(root_.path());
    EXPECT_TRUE(root.remove(QStringLiteral("dev/") + tty)) << tty.toStdString();
    EXPECT_TRUE(QDir(root.filePath(QStringLiteral("sys/class/tty/") + tty)).removeRecursively());
    EXPECT_TRUE(QDir(root.filePath(AdapterSysfsFolder(tty).section(u'/', 0, 3))).removeRecursively());
}

QList<pid_t> HoldersOf(const QString &path)
{
    QList<pid_t> holders;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    for (const QString &process : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = process.toInt(&number);
        if (!number || pid == ::getpid())
            continue;
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString &fd : descriptors.entryList(QDir::Files | QDir::System)) {
            if (QFileInfo(descriptors.filePath(fd)).symLinkTarget() == canonical) {
                holders << pid;
                break;
            }
        }
    }
    return holders;
}

}  // namespace qw735::test
