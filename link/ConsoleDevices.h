// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <sys/types.h>

namespace qw735 {

// What a terminal device is to this machine when no board can be behind it.
// The sync bytes of a write sent there would go to the kernel's messages, a
// login prompt or the user's own screen, and the write would end "Err 1".
enum class ConsoleRole {
    None,
    SystemConsole,        // named by the kernel's console list, or /dev/console itself
    VirtualConsole,       // /dev/tty0../dev/tty63: a screen and keyboard of this machine
    ControllingTerminal,  // the terminal this process runs in, or /dev/tty that stands for it
};

// The devices the system console writes to, as the kernel lists them: by
// name in `sysTty`/console/active ("tty0 ttyS0"), and by name and device
// number in /proc/consoles ("ttyS0  -W- (EC p a)  4:64"). Read without
// opening any device.
class ConsoleList {
public:
    static ConsoleList Read(const QString &sysTty = QStringLiteral("/sys/class/tty"),
                            const QString &procConsoles = QStringLiteral("/proc/consoles"));

    // Whether the tty of this name ("ttyS0"; "pts/3" for /dev/pts/3) is one.
    bool Names(const QString &ttyName) const;
    // Whether the device with this number is one.
    bool HasNumber(dev_t number) const;

private:
    QStringList names_;
    QList<dev_t> numbers_;
};

// The role of the terminal device at `device` (its own path, links
// resolved) whose device number is `number` (none when it is no character
// device). One rule for both programs and the port listing: the system
// console first, then the virtual consoles, then the controlling terminal.
ConsoleRole ConsoleRoleOf(const QString &device, std::optional<dev_t> number, const ConsoleList &consoles);

// Why a device of this role is refused, in words that follow "Cannot open
// PORT: "; empty for None.
QString ConsoleRefusal(ConsoleRole role);

}  // namespace qw735
