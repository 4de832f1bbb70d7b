// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/PortMap.h"
#include "slot/FolderWatch.h"
#include "slot/Slot.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <compare>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

class QTimer;

namespace qw735 {

class ServerProbe;

// What tells one device from another: the file its name led to. A node the
// kernel makes again (the adapter plugged again) is a new file, and so
// another device, under the same name and number; a link udev makes again
// to the same node (as it does when it runs its rules again) is the same.
struct DeviceId {
    dev_t fileSystem = 0;
    ino_t inode = 0;
    auto operator<=>(const DeviceId &) const = default;
};

// A device on a slot, as the watcher found it.
struct SlotDevice {
    QString name;    // where it appeared: the slot's link or node, the node behind COMn; a remote slot's URL
    QString device;  // what the name led to then, links resolved (/dev/ttyUSB0, /dev/pts/3); a remote slot's URL
    DeviceId id;     // none for a remote slot
    bool presentAtStart = false;  // there when the watcher started: plugged before, not seen coming
};

// Why a device on a slot is left alone. The watcher never opens it, and
// says so once; it stays refused until it goes.
enum class Refusal : std::uint8_t {
    // The slot has a device already: one board per slot. The first keeps
    // the slot; the second does not take it over when the first goes, so
    // that no write starts on a board nobody has just plugged.
    SlotTaken,
    // The device is another slot's already, reached there by another name
    // (a by-id and a by-path link, a COMn and its node).
    OnAnotherSlot,
    // It came onto a Com slot because the numbering changed when another
    // adapter went, not because it was plugged.
    Renumbered,
};

// Between a device's appearance and "ready to write". A USB adapter's
// node appears as the kernel makes it, before udev has run its rules and
// set its permissions (tens of milliseconds, some hundreds on a loaded
// machine or with a hub of adapters plugged at once); the links in
// /dev/serial appear after that. A board powered through the adapter is
// in reset for its supervisor's time (up to about 200-250 ms with common
// supervisors), and a connector pushed in unevenly can connect, drop and
// connect again within a few hundred milliseconds. Half a second covers
// these and is short beside a write of several seconds.
inline constexpr std::chrono::milliseconds DefaultSettle{500};
// How often a remote slot's server is tried: often enough that an
// operator waits no longer than a glance, seldom enough that a station's
// server sees a connection every few seconds only.
inline constexpr std::chrono::milliseconds DefaultPollInterval{3000};

struct WatchSettings {
    std::chrono::milliseconds settle = DefaultSettle;
    std::chrono::milliseconds pollInterval = DefaultPollInterval;
    // The machine's Com numbering, for COMn slots.
    PortMap comMap = SystemComDevices;
    // Tries remote slots' servers; needed only with remote slots. Must
    // outlive the watcher.
    ServerProbe *probe = nullptr;
};

// Tells, for each slot, when a device appears on it, when it is ready to be
// written (the settle time after it appeared, still there), and when it
// goes; and which devices it refuses. Local slots are watched through
// inotify on their folders (and /dev for Com slots), in the event loop of
// the thread that owns the watcher; remote slots are polled through the
// probe. It looks at names and at what they lead to (stat, readlink),
// never opens a device, and never looks at a name that is on no slot.
// Reports come as signals, in the order the devices came and went; a
// receiver may ask the watcher anything but must not destroy it.
class DeviceWatcher : public QObject, private FolderWatch::Listener {
    Q_OBJECT
public:
    DeviceWatcher(std::vector<Slot> slotList, WatchSettings settings, QObject *parent = nullptr);
    ~DeviceWatcher() override;

    // Starts watching. The devices already there appear during this call
    // (presentAtStart), in the order of the slots and, on a pattern slot, of
    // their names; remote slots' servers are tried from now on.
    [[nodiscard]] std::expected<void, WatchError> Start();

    int SlotCount() const { return static_cast<int>(slots_.size()); }
    const Slot &SlotAt(int slot) const;
    // The device on `slot` now; null when there is none.
    const SlotDevice *DeviceOn(int slot) const;
    bool IsReady(int slot) const;

    // How the write of a remote slot's board ended. Its server is not tried
    // while the board is written; afterwards, when a board answered, it is
    // tried until it stops accepting (the board counts as gone then: a
    // board written is not written again while its server stays up); when
    // none answered, the slot counts as empty now and its server is tried
    // again after the poll interval. Nothing for a local slot, whose device
    // is seen to go.
    void WriteEnded(int slot, bool boardAnswered);

signals:
    void Appeared(int slot, const qw735::SlotDevice &device);
    void Ready(int slot, const qw735::SlotDevice &device);
    // Also for a device that went before it was ready.
    void Gone(int slot, const qw735::SlotDevice &device);
    // `otherSlot` is the slot that has the device (OnAnotherSlot) or the
    // slot's own device (SlotTaken); -1 for Renumbered.
    void Refused(int slot, const qw735::SlotDevice &device, qw735::Refusal why, int otherSlot);
    // A folder that appeared could not be watched: devices on its slots
    // will not be seen. The run should end.
    void Failed(const qw735::WatchError &error);

private:
    enum class Poll : std::uint8_t {
        Seeking,  // tried until it accepts
        Held,     // appeared: not tried while its board is written
        Leaving,  // tried until it refuses
    };
    struct Watched {
        std::optional<SlotDevice> device;
        bool ready = false;
        QTimer *settle = nullptr;
        QStringList refused;  // names left alone until they go
        // A remote slot's polling.
        Poll poll = Poll::Seeking;
        QTimer *pollTimer = nullptr;
        bool trying = false;
        bool firstTry = true;
    };
    struct Found {
        QString device;
        DeviceId id;
    };

    // FolderWatch::Listener
    void NameAdded(const QString &folder, const QString &name) override;
    void NameRemoved(const QString &folder, const QString &name) override;
    void FolderWatched(const QString &folder) override;
    void FolderGone(const QString &folder) override;
    void ChangesLost() override;
    void ChangesDone() override;
    void WatchFailed(const WatchError &error) override;

    static std::optional<Found> Examine(const QString &path);
    // A name in a local slot's folder, made or found there.
    void Look(int slot, const QString &name);
    // Everything in a local slot's folder, read afresh.
    void Rescan(int slot);
    // The Com numbering, read afresh, against what the Com slots hold.
    void ReadComNumbering();
    bool MadeRecently(const QString &node) const;
    void Take(int slot, SlotDevice device);
    void Leave(int slot);
    void Refuse(int slot, SlotDevice device, Refusal why, int otherSlot);
    void SettleEnded(int slot);
    void TryServer(int slot);
    void ServerTried(int slot, bool accepted);

    std::vector<Slot> slots_;
    WatchSettings settings_;
    std::vector<Watched> watched_;
    std::map<DeviceId, int> holders_;  // the slot each local device is on
    FolderWatch folders_{*this};
    bool starting_ = false;
    // Com slots: /dev changed since the numbering was last read; nodes made
    // lately, by when.
    bool devChanged_ = false;
    std::map<QString, std::chrono::steady_clock::time_point> madeNodes_;
    QTimer *comReread_ = nullptr;
};

}  // namespace qw735
