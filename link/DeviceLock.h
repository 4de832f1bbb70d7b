// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/UniqueFd.h"
#include "link/PortError.h"

#include <QString>
#include <expected>

namespace qw735 {

// Keeps a serial device to one writer at a time, whatever name each opens it
// by: /dev/serial/by-id/... and /dev/ttyUSB0 are one device, and two writes
// through it at once would corrupt both. The kernel's exclusive mode does not
// bind root, and lock files are keyed on a name; so the name is resolved to
// the device itself, and the device is locked with an advisory lock held on a
// descriptor of its own (released when the process ends, however it ends).
class DeviceLock {
public:
    DeviceLock() = default;

    // Resolves `path` and locks the device. The error says why the device
    // cannot be used (missing, no serial port, no permission, in use), its
    // text in words that follow "Cannot open PORT: ".
    [[nodiscard]] static std::expected<DeviceLock, PortError> Take(const QString &path);

    // The device's own path, symbolic links resolved: the name to open it
    // by, so that lock files of other programs are keyed on it too.
    const QString &Device() const { return device_; }
    void Release();

private:
    UniqueFd fd_;
    QString device_;
};

// How a device name reads, as the serial port library has always read it,
// with one addition: a relative name that exists in the working directory
// (a link made by a test rig or a board simulator) means that file. Any
// other bare name, such as "ttyUSB0", is a device in /dev.
struct DeviceName {
    QString path;  // how messages show it: that file as an absolute path, or the name as written
    QString file;  // the file it opens
};
DeviceName ReadDeviceName(const QString &name);

// The device a port name opens (see ReadDeviceName), as its own path:
// symbolic links resolved. Empty when there is no such file.
QString ResolveDevicePath(const QString &path);

// "it is in use by another program", with the process ID of the holder when
// the device's lock file names a running process.
QString InUseReason(const QString &device);

}  // namespace qw735
