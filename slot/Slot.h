// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <expected>
#include <vector>

namespace qw735 {

// Why a slot's text names no slot. A usage error: nothing was looked at.
struct SlotError {
    enum class Kind : std::uint8_t {
        Empty,             // nothing written
        ComOutOfRange,     // COM0, COM11
        NotARemoteSlot,    // an rfc2217:// text without HOST:PORT
        FolderOnly,        // a path that ends in a folder ("/dev/serial/by-path/", "..")
        WildcardInFolder,  // a pattern with a wildcard before its last name
        NamedTwice,        // two slots that name the same place
    };
    Kind kind;
    QString text;
};

// Where a board appears in the automatic mode, as the user names it:
//  - a device path: a link udev keeps (/dev/serial/by-path/...), a node
//    (/dev/ttyUSB0). A bare name (ttyUSB0) is taken in /dev and any other
//    relative path in the working folder: unlike a PORT, a slot names a
//    device that is usually not there yet, so whether it exists now cannot
//    choose between the two.
//  - a pattern over such names in glob syntax (*, ? and [...]), with
//    wildcards in the last name only: '/dev/serial/by-path/*usb-0:1.*'. A
//    wildcard does not match a leading dot, as udev makes each link under
//    a dotted temporary name before it renames it into place.
//  - COMn: the device behind COM n in the machine's Com numbering, which
//    changes as adapters come and go.
//  - rfc2217://HOST:PORT or rfc2217+tls://HOST:PORT: a board served by
//    another machine. It has no plug event; its server is polled.
class Slot {
public:
    enum class Kind : std::uint8_t { Device, Pattern, Com, Remote };

    // `workingFolder` is the folder a relative path starts from (the
    // process's own when empty).
    [[nodiscard]] static std::expected<Slot, SlotError> Parse(const QString &text, const QString &workingFolder = {});

    // As the user wrote it, every byte kept.
    const QString &Text() const { return text_; }
    Kind SlotKind() const { return kind_; }
    bool IsLocal() const { return kind_ == Kind::Device || kind_ == Kind::Pattern; }
    // How messages name the slot: its text, with control characters and
    // bytes that are not UTF-8 shown as \xNN.
    QString Describe() const;

    // A device path's or a pattern's folder, absolute and cleaned, with no
    // wildcard in it.
    const QString &Folder() const { return folder_; }
    // Whether the entry `name` of Folder() is on this slot: the device
    // path's last name, or a name the pattern matches.
    bool Holds(const QString &name) const;

    // Of a Com slot: 1..10.
    int ComNumber() const { return number_; }

    // Of a remote slot.
    const QString &Host() const { return host_; }
    quint16 Port() const { return port_; }
    bool IsTls() const { return tls_; }

    // Equal for two texts that name one place: the same folder and name or
    // pattern, one Com number, one server however its URL is spelled. Two
    // different slots may still lead to one device (a by-id and a by-path
    // link); the watcher refuses that device on the second.
    QString Key() const;

private:
    Slot() = default;
    [[nodiscard]] static std::expected<Slot, SlotError> ParseRemote(Slot slot);
    [[nodiscard]] static std::expected<Slot, SlotError> ParsePath(Slot slot, const QString &workingFolder);

    QString text_;
    Kind kind_ = Kind::Device;
    QString folder_;  // of a device path or a pattern
    QString name_;    // its last name, or the pattern for it
    int number_ = 0;  // of a Com slot
    QString host_;    // of a remote slot
    quint16 port_ = 0;
    bool tls_ = false;
};

// Every slot of a run, in the order given; refuses two texts that name one
// place (the error names both).
[[nodiscard]] std::expected<std::vector<Slot>, SlotError> ParseSlots(const QStringList &texts, const QString &workingFolder = {});

}  // namespace qw735
