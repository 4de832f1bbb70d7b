// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <sys/types.h>

namespace qw735::test {

// The stage of the automatic-mode tests: a machine's /dev and /sys of the
// test's own, where boards are plugged and unplugged as udev and the kernel
// do it. A program started through InNamespace() runs in a private mount
// namespace (as root) in which the rig's folder is /dev, with the machine's
// /dev/null and /dev/pts bound into it, so that a simulated board's
// pseudo-terminal is there under its own name (/dev/pts/N); /sys and
// /proc/consoles are the rig's too, a machine with no serial ports until an
// adapter is plugged. The test itself has threads and cannot change its own
// mount namespace: it plugs from outside, in the rig's folder, and the
// program inside sees each change as it is made (the same folders, bound:
// inotify inside is told of changes made outside).
class PlugRig {
public:
    PlugRig();

    // Where `inside` (a path under /dev or /sys, as the program inside sees
    // it) is, outside.
    QString Outside(const QString &inside) const;
    // The command that runs `command` in the rig's namespace.
    QStringList InNamespace(const QStringList &command) const;

    // A link `name` (under /dev, inside) to `target`, as udev makes one: its
    // folders first, then the link under a dotted temporary name, renamed
    // into place (which also replaces a link there).
    void Link(const QString &name, const QString &target);
    // The link `name` removed, and the folders it leaves empty, up to /dev,
    // as udev removes them.
    void Unlink(const QString &name);
    // A USB serial adapter `tty` (ttyUSB0) as the kernel adds one: its
    // entries in sysfs, then its node in /dev, which here is a link to
    // `target` (a simulated board's pseudo-terminal stands for it).
    void PlugAdapter(const QString &tty, const QString &target);
    // Its node removed, then its entries in sysfs, in the kernel's order.
    void UnplugAdapter(const QString &tty);

private:
    QTemporaryDir root_;
};

// The processes other than this one that hold `path` open.
QList<pid_t> HoldersOf(const QString &path);

}  // namespace qw735::test
