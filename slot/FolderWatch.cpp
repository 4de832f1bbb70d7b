// SPDX-License-Identifier: GPL-2.0-or-later
#include "slot/FolderWatch.h"

#include "base/PathName.h"

#include <QDir>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <vector>

namespace qw735 {

namespace {

// Names made, removed and renamed in a folder, and the folder itself going.
// The same mask for every watch: inotify keeps one watch per folder, and a
// second add for a folder reached by another path replaces the mask.
constexpr std::uint32_t WatchMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// A folder can be removed and made again (or a folder moved) any number of
// times while its watch is being set; past this many rounds the watcher
// waits for the next change rather than chase it.
constexpr int MostResyncRounds = 16;

QString ErrnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

FolderWatch::FolderWatch(Listener &listener) : listener_(listener) {}

FolderWatch::~FolderWatch() = default;

std::expected<void, WatchError> FolderWatch::Start(const QStringList &folders)
{
    inotify_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.Valid()) {
        const int error = errno;
        return std::unexpected(WatchError{WatchError::Kind::NoInotify,
                                          error == EMFILE ? QStringLiteral("devices cannot be watched: the limit of inotify instances "
                                                                           "is reached (fs.inotify.max_user_instances)")
                                                          : QStringLiteral("devices cannot be watched: %1").arg(ErrnoText(error))});
    }
    wanted_ = folders;
    wanted_.removeDuplicates();
    notifier_ = std::make_unique<QSocketNotifier>(inotify_.Get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { ReadPending(); });
    return Resync();
}

void FolderWatch::ReadPending()
{
    if (!inotify_.Valid())
        return;
    alignas(inotify_event) char buffer[16 * 1024];
    bool resync = false;
    bool lost = false;
    for (;;) {
        const ssize_t length = ::read(inotify_.Get(), buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            break;  // EAGAIN: the queue is empty
        for (const char *at = buffer; at < buffer + length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(at);
            at += sizeof(inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                lost = resync = true;
                continue;
            }
            // The folder itself went or moved, or its watch ended: the
            // resync below watches what is there now, by looking.
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                for (auto &[path, watch] : watches_) {
                    if (watch.descriptor == event->wd)
                        watch.ended = true;
                }
                resync = true;
                continue;
            }
            if (event->len == 0)
                continue;
            // A folder made, removed or moved may be one on the way to a
            // folder waited for, or one watched that moved away.
            if (event->mask & IN_ISDIR)
                resync = true;
            const QString name = PathString(QByteArray(event->name));
            const bool added = event->mask & (IN_CREATE | IN_MOVED_TO);
            // A copy: the listener may not change the watches, but the map
            // is walked while it is told.
            std::vector<QString> folders;
            for (const auto &[path, watch] : watches_) {
                if (watch.descriptor == event->wd && watch.wanted)
                    folders.push_back(path);
            }
            for (const QString &folder : folders) {
                if (added)
                    listener_.NameAdded(folder, name);
                else
                    listener_.NameRemoved(folder, name);
            }
        }
    }
    if (resync) {
        if (const auto done = Resync(); !done)
            listener_.WatchFailed(done.error());
    }
    if (lost)
        listener_.ChangesLost();
    listener_.ChangesDone();
}

std::expected<void, WatchError> FolderWatch::Resync()
{
    const auto folderId = [](const QString &path) -> std::optional<FolderId> {
        struct stat info {};
        if (::stat(PathBytes(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
            return std::nullopt;
        return FolderId{info.st_dev, info.st_ino};
    };
    QStringList gone;
    QStringList watched;
    std::optional<WatchError> failed;
    for (int round = 0; round < MostResyncRounds && !failed; ++round) {
        // Each folder asked for if it is there, else the nearest one above it.
        std::map<QString, bool> needed;
        for (const QString &folder : wanted_) {
            QString path = folder;
            while (!folderId(path) && path != u"/")
                path = QDir::cleanPath(path + QStringLiteral("/.."));
            needed[path] = needed[path] || path == folder;
        }
        bool changed = false;
        for (auto it = watches_.begin(); it != watches_.end();) {
            const QString path = it->first;
            const Watch watch = it->second;
            ++it;
            const auto id = folderId(path);
            const auto need = needed.find(path);
            const bool same = !watch.ended && id && *id == watch.id;
            if (same && need != needed.end() && need->second == watch.wanted)
                continue;
            if (watch.wanted && !same)
                gone << path;
            Drop(path);
            changed = true;
        }
        for (const auto &[path, wanted] : needed) {
            if (watches_.contains(path))
                continue;
            const int descriptor = ::inotify_add_watch(inotify_.Get(), PathBytes(path).constData(), WatchMask);
            const auto id = folderId(path);
            if (descriptor < 0 || !id) {
                const int error = errno;
                if (descriptor < 0 && error != ENOENT && error != ENOTDIR) {
                    failed = WatchError{
                        WatchError::Kind::FolderNotWatched,
                        error == ENOSPC ? QStringLiteral("%1 cannot be watched: the limit of inotify watches is reached "
                                                         "(fs.inotify.max_user_watches)").arg(PathDisplay(path))
                                        : QStringLiteral("%1 cannot be watched: %2").arg(PathDisplay(path), ErrnoText(error))};
                    break;
                }
                // It went between the look and the watch: look again.
                changed = true;
                continue;
            }
            watches_[path] = Watch{descriptor, *id, wanted};
            if (wanted)
                watched << path;
            changed = true;
        }
        if (!changed)
            break;
    }
    // A folder replaced in one go is gone, then watched afresh. What went
    // is told even when a watch failed.
    for (const QString &path : gone)
        listener_.FolderGone(path);
    if (failed)
        return std::unexpected(*failed);
    for (const QString &path : watched) {
        if (watches_.contains(path))
            listener_.FolderWatched(path);
    }
    return {};
}

void FolderWatch::Drop(const QString &path)
{
    const auto it = watches_.find(path);
    if (it == watches_.end())
        return;
    const int descriptor = it->second.descriptor;
    watches_.erase(it);
    for (const auto &[other, watch] : watches_) {
        if (watch.descriptor == descriptor)
            return;  // the same folder under another path: still watched
    }
    // Fails harmlessly when the kernel ended the watch already (the folder
    // was removed).
    ::inotify_rm_watch(inotify_.Get(), descriptor);
}

}  // namespace qw735
