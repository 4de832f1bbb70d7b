// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/UniqueFd.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <sys/types.h>

class QSocketNotifier;

namespace qw735 {

// Why devices cannot be seen coming and going.
struct WatchError {
    enum class Kind : std::uint8_t {
        NoInotify,         // inotify itself is not available (its limit of instances reached)
        FolderNotWatched,  // a folder exists but cannot be watched (its limit of watches reached, no permission)
    };
    Kind kind;
    QString text;
};

// Watches folders for the names that come into them and leave them, with
// inotify, in the event loop of the thread that owns it (a socket notifier
// on the inotify descriptor: no thread of its own, nothing polled, and the
// changes come in the order the file system made them, on the thread that
// acts on them). A folder that does not exist yet (/dev/serial, before the
// first USB serial adapter since boot) is waited for through the nearest
// folder above it that exists, and watched from the moment it appears; a
// folder that goes (udev removes /dev/serial/by-path with its last link),
// or is renamed or replaced, is waited for again.
class FolderWatch {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        // `name` came into `folder` (made there, or renamed into it), or left
        // it (removed, or renamed away), in the order the changes were made.
        virtual void NameAdded(const QString &folder, const QString &name) = 0;
        virtual void NameRemoved(const QString &folder, const QString &name) = 0;
        // `folder` is watched from now on, and what is in it was not seen
        // coming: its names are to be read. At Start, for every folder that
        // exists then.
        virtual void FolderWatched(const QString &folder) = 0;
        // `folder` went (removed, renamed or replaced): everything in it too.
        virtual void FolderGone(const QString &folder) = 0;
        // The kernel's queue overflowed and changes were lost: every folder
        // is to be read afresh.
        virtual void ChangesLost() = 0;
        // What one read of the queue held has been told.
        virtual void ChangesDone() = 0;
        // A folder that appeared could not be watched: nothing more will be
        // seen of it.
        virtual void WatchFailed(const WatchError &error) = 0;
    };

    explicit FolderWatch(Listener &listener);
    ~FolderWatch();
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;

    // Watches `folders` (absolute, cleaned), or waits for those that do not
    // exist yet; tells FolderWatched for every one that exists.
    [[nodiscard]] std::expected<void, WatchError> Start(const QStringList &folders);
    // Tells what the queue holds now, without waiting for more: before
    // acting on a timer, so that a name removed a moment earlier is known.
    void ReadPending();

private:
    struct FolderId {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const FolderId &) const = default;
    };
    struct Watch {
        int descriptor = -1;
        FolderId id;
        bool wanted = false;  // one of the folders asked for, not one on the way to it
        // The kernel ended the watch (its folder was removed or moved). A
        // folder made again at once may have the very same identity (a
        // file system that reuses the inode number), yet it is not watched.
        bool ended = false;
    };

    // Brings the watches in line with the folders as they are now.
    [[nodiscard]] std::expected<void, WatchError> Resync();
    void Drop(const QString &path);

    Listener &listener_;
    UniqueFd inotify_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QStringList wanted_;
    std::map<QString, Watch> watches_;  // by the path watched
};

}  // namespace qw735
