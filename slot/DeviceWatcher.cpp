// SPDX-License-Identifier: GPL-2.0-or-later
#include "slot/DeviceWatcher.h"

#include "base/PathName.h"
#include "slot/ServerProbe.h"

#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>

namespace qw735 {

namespace {

using namespace std::chrono_literals;

// Where the kernel makes the nodes the Com numbering names.
const QString DeviceFolder = QStringLiteral("/dev");

// The kernel removes a tty's node before its entries in sysfs, where the
// Com numbering is read: read at the node's removal, the numbering may
// still count it. It is read again this long after.
constexpr auto SysfsLag = 100ms;
// A node made this recently was plugged; one that comes onto a Com slot
// and is older was there before, under another number.
constexpr auto RecentlyMade = 2s;

QString Join(const QString &folder, const QString &name)
{
    return folder == u"/" ? u'/' + name : folder + u'/' + name;
}

// The names in `folder`, in byte order; none when it cannot be read.
QStringList NamesIn(const QString &folder)
{
    QList<QByteArray> names;
    if (DIR *dir = ::opendir(PathBytes(folder).constData())) {
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names << name;
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    QStringList texts;
    for (const QByteArray &name : names)
        texts << PathString(name);
    return texts;
}

bool NameExists(const QString &path)
{
    struct stat info {};
    return ::lstat(PathBytes(path).constData(), &info) == 0;
}

}  // namespace

DeviceWatcher::DeviceWatcher(std::vector<Slot> slotList, WatchSettings settings, QObject *parent)
    : QObject(parent), slots_(std::move(slotList)), settings_(std::move(settings)), watched_(slots_.size())
{
    for (int slot = 0; slot < SlotCount(); ++slot) {
        Watched &watched = watched_[static_cast<std::size_t>(slot)];
        watched.settle = new QTimer(this);
        watched.settle->setSingleShot(true);
        watched.settle->setTimerType(Qt::PreciseTimer);
        connect(watched.settle, &QTimer::timeout, this, [this, slot] { SettleEnded(slot); });
        if (SlotAt(slot).SlotKind() == Slot::Kind::Remote) {
            watched.pollTimer = new QTimer(this);
            watched.pollTimer->setSingleShot(true);
            connect(watched.pollTimer, &QTimer::timeout, this, [this, slot] { TryServer(slot); });
        }
    }
    comReread_ = new QTimer(this);
    comReread_->setSingleShot(true);
    connect(comReread_, &QTimer::timeout, this, [this] { ReadComNumbering(); });
}

DeviceWatcher::~DeviceWatcher() = default;

std::expected<void, WatchError> DeviceWatcher::Start()
{
    QStringList folders;
    bool remote = false;
    for (const Slot &slot : slots_) {
        if (slot.IsLocal())
            folders << slot.Folder();
        else if (slot.SlotKind() == Slot::Kind::Com)
            folders << DeviceFolder;
        else
            remote = true;
    }
    Q_ASSERT(!remote || settings_.probe);
    if (!folders.isEmpty()) {
        starting_ = true;
        const auto started = folders_.Start(folders);
        starting_ = false;
        if (!started)
            return started;
    }
    for (int slot = 0; slot < SlotCount(); ++slot) {
        if (SlotAt(slot).SlotKind() == Slot::Kind::Remote)
            TryServer(slot);
    }
    return {};
}

const Slot &DeviceWatcher::SlotAt(int slot) const
{
    return slots_.at(static_cast<std::size_t>(slot));
}

const SlotDevice *DeviceWatcher::DeviceOn(int slot) const
{
    const auto &device = watched_.at(static_cast<std::size_t>(slot)).device;
    return device ? &*device : nullptr;
}

bool DeviceWatcher::IsReady(int slot) const
{
    return watched_.at(static_cast<std::size_t>(slot)).ready;
}

std::optional<DeviceWatcher::Found> DeviceWatcher::Examine(const QString &path)
{
    const QByteArray bytes = PathBytes(path);
    struct stat info {};
    if (::stat(bytes.constData(), &info) != 0)
        return std::nullopt;  // no such name, or a link to nothing (yet)
    char resolved[PATH_MAX];
    const QString device = ::realpath(bytes.constData(), resolved) ? PathString(QByteArray(resolved)) : path;
    return Found{device, DeviceId{info.st_dev, info.st_ino}};
}

void DeviceWatcher::NameAdded(const QString &folder, const QString &name)
{
    if (folder == DeviceFolder) {
        madeNodes_[name] = std::chrono::steady_clock::now();
        devChanged_ = true;
    }
    for (int slot = 0; slot < SlotCount(); ++slot) {
        if (SlotAt(slot).IsLocal() && SlotAt(slot).Folder() == folder)
            Look(slot, name);
    }
}

void DeviceWatcher::NameRemoved(const QString &folder, const QString &name)
{
    const QString path = Join(folder, name);
    for (int slot = 0; slot < SlotCount(); ++slot) {
        const Slot &current = SlotAt(slot);
        const bool onSlot = current.IsLocal() ? current.Folder() == folder && current.Holds(name)
                                              : current.SlotKind() == Slot::Kind::Com && folder == DeviceFolder;
        if (!onSlot)
            continue;
        // In the order it happened: a name removed and made again in one
        // read of the queue is a device gone and another come, even when
        // the new name leads to the same file.
        Watched &watched = watched_[static_cast<std::size_t>(slot)];
        if (watched.device && watched.device->name == path)
            Leave(slot);
        watched.refused.removeAll(path);
    }
    if (folder == DeviceFolder) {
        devChanged_ = true;
        comReread_->start(SysfsLag);
    }
}

void DeviceWatcher::FolderWatched(const QString &folder)
{
    for (int slot = 0; slot < SlotCount(); ++slot) {
        if (SlotAt(slot).IsLocal() && SlotAt(slot).Folder() == folder)
            Rescan(slot);
    }
    if (folder == DeviceFolder)
        ReadComNumbering();
}

void DeviceWatcher::FolderGone(const QString &folder)
{
    for (int slot = 0; slot < SlotCount(); ++slot) {
        const Slot &current = SlotAt(slot);
        if (!(current.IsLocal() && current.Folder() == folder) && !(current.SlotKind() == Slot::Kind::Com && folder == DeviceFolder))
            continue;
        Watched &watched = watched_[static_cast<std::size_t>(slot)];
        watched.refused.clear();
        if (watched.device)
            Leave(slot);
    }
}

void DeviceWatcher::ChangesLost()
{
    for (int slot = 0; slot < SlotCount(); ++slot) {
        if (SlotAt(slot).IsLocal())
            Rescan(slot);
    }
    ReadComNumbering();
}

void DeviceWatcher::ChangesDone()
{
    if (devChanged_)
        ReadComNumbering();
}

void DeviceWatcher::WatchFailed(const WatchError &error)
{
    emit Failed(error);
}

void DeviceWatcher::Look(int slot, const QString &name)
{
    const Slot &current = SlotAt(slot);
    if (!current.Holds(name))
        return;  // on no slot: not even looked at
    Watched &watched = watched_[static_cast<std::size_t>(slot)];
    const QString path = Join(current.Folder(), name);
    const auto found = Examine(path);
    if (watched.device && watched.device->name == path) {
        if (found && found->id == watched.device->id)
            return;  // the same device: its link made again
        Leave(slot);  // the name leads elsewhere now, or nowhere
    }
    if (!found || watched.refused.contains(path))
        return;
    SlotDevice device{path, found->device, found->id, starting_};
    if (watched.device)
        return Refuse(slot, std::move(device), Refusal::SlotTaken, slot);
    if (const auto holder = holders_.find(found->id); holder != holders_.end())
        return Refuse(slot, std::move(device), Refusal::OnAnotherSlot, holder->second);
    Take(slot, std::move(device));
}

void DeviceWatcher::Rescan(int slot)
{
    const Slot &current = SlotAt(slot);
    Watched &watched = watched_[static_cast<std::size_t>(slot)];
    // What went while nobody watched.
    if (watched.device) {
        const auto found = Examine(watched.device->name);
        if (!found || found->id != watched.device->id)
            Leave(slot);
    }
    watched.refused.removeIf([](const QString &path) { return !NameExists(path); });
    for (const QString &name : NamesIn(current.Folder()))
        Look(slot, name);
}

bool DeviceWatcher::MadeRecently(const QString &node) const
{
    const auto made = madeNodes_.find(node.section(u'/', -1));
    return node.section(u'/', 0, -2) == DeviceFolder && made != madeNodes_.end()
           && std::chrono::steady_clock::now() - made->second < RecentlyMade;
}

void DeviceWatcher::ReadComNumbering()
{
    devChanged_ = false;
    std::erase_if(madeNodes_, [now = std::chrono::steady_clock::now()](const auto &made) { return now - made.second >= RecentlyMade; });
    QStringList devices;
    for (int slot = 0; slot < SlotCount(); ++slot) {
        if (SlotAt(slot).SlotKind() != Slot::Kind::Com)
            continue;
        if (devices.isEmpty() && settings_.comMap)
            devices = settings_.comMap();
        const QString node = devices.value(SlotAt(slot).ComNumber() - 1);
        const auto found = node.isEmpty() ? std::nullopt : Examine(node);
        Watched &watched = watched_[static_cast<std::size_t>(slot)];
        if (watched.device && (watched.device->name != node || !found || found->id != watched.device->id))
            Leave(slot);
        watched.refused.removeIf([&node](const QString &refused) { return refused != node; });
        if (!found || watched.device || watched.refused.contains(node))
            continue;
        SlotDevice device{node, found->device, found->id, starting_};
        if (!starting_ && !MadeRecently(node))
            Refuse(slot, std::move(device), Refusal::Renumbered, -1);
        else if (const auto holder = holders_.find(found->id); holder != holders_.end())
            Refuse(slot, std::move(device), Refusal::OnAnotherSlot, holder->second);
        else
            Take(slot, std::move(device));
    }
}

void DeviceWatcher::Take(int slot, SlotDevice device)
{
    Watched &watched = watched_[static_cast<std::size_t>(slot)];
    watched.device = std::move(device);
    watched.ready = false;
    if (SlotAt(slot).SlotKind() != Slot::Kind::Remote)
        holders_[watched.device->id] = slot;
    emit Appeared(slot, *watched.device);
    if (SlotAt(slot).SlotKind() == Slot::Kind::Remote) {
        // Nothing is plugged here: the server took the connection, and the
        // board behind it was powered long ago.
        watched.ready = true;
        emit Ready(slot, *watched.device);
    } else {
        watched.settle->start(settings_.settle);
    }
}

void DeviceWatcher::Leave(int slot)
{
    Watched &watched = watched_[static_cast<std::size_t>(slot)];
    const SlotDevice device = *watched.device;
    watched.device.reset();
    watched.ready = false;
    watched.settle->stop();
    if (SlotAt(slot).SlotKind() != Slot::Kind::Remote)
        holders_.erase(device.id);
    emit Gone(slot, device);
}

void DeviceWatcher::Refuse(int slot, SlotDevice device, Refusal why, int otherSlot)
{
    watched_[static_cast<std::size_t>(slot)].refused << device.name;
    emit Refused(slot, device, why, otherSlot);
}

void DeviceWatcher::SettleEnded(int slot)
{
    // A removal queued a moment ago is told first.
    folders_.ReadPending();
    Watched &watched = watched_[static_cast<std::size_t>(slot)];
    if (!watched.device || watched.ready)
        return;
    const auto found = Examine(watched.device->name);
    if (!found || found->id != watched.device->id) {
        const QString name = watched.device->name;
        Leave(slot);
        if (SlotAt(slot).IsLocal())
            Look(slot, name.section(u'/', -1));
        else
            ReadComNumbering();
        return;
    }
    watched.ready = true;
    emit Ready(slot, *watched.device);
}

void DeviceWatcher::WriteEnded(int slot, bool boardAnswered)
{
    Watched &watched = watched_.at(static_cast<std::size_t>(slot));
    if (SlotAt(slot).SlotKind() != Slot::Kind::Remote || watched.poll != Poll::Held)
        return;
    if (boardAnswered) {
        watched.poll = Poll::Leaving;
    } else {
        watched.poll = Poll::Seeking;
        Leave(slot);
    }
    watched.pollTimer->start(settings_.pollInterval);
}

void DeviceWatcher::TryServer(int slot)
{
    Watched &watched = watched_[static_cast<std::size_t>(slot)];
    if (watched.trying || watched.poll == Poll::Held || !settings_.probe)
        return;
    watched.trying = true;
    settings_.probe->Try(SlotAt(slot), [watcher = QPointer<DeviceWatcher>(this), slot](bool accepted) {
        if (watcher)
            watcher->ServerTried(slot, accepted);
    });
}

void DeviceWatcher::ServerTried(int slot, bool accepted)
{
    Watched &watched = watched_[static_cast<std::size_t>(slot)];
    watched.trying = false;
    const bool first = std::exchange(watched.firstTry, false);
    if (watched.poll == Poll::Seeking && accepted) {
        watched.poll = Poll::Held;
        const QString url = SlotAt(slot).Text();
        Take(slot, SlotDevice{url, url, {}, first});
        return;
    }
    if (watched.poll == Poll::Leaving && !accepted) {
        watched.poll = Poll::Seeking;
        Leave(slot);
    }
    if (watched.poll != Poll::Held)
        watched.pollTimer->start(settings_.pollInterval);
}

}  // namespace qw735
