// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/FileLock.h"
#include "base/UniqueFd.h"
#include "numbering/SerialError.h"

#include <atomic>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace qw735 {

// A small text file that holds what a source has given so far, so that
// no value is given twice: never changed in place, but replaced whole by
// a new file renamed over it, after the new file and then its folder were
// flushed to the disk. Whoever reads it, even after a crash or a power
// cut, sees the old text or the new, never a mix or nothing.
//
// Since the file is replaced, a lock on it would lock only the file being
// replaced; the lock is held on PATH.lock beside it instead, which is made
// once and never replaced or removed.
class StateFile {
public:
    // `role` is how messages name the file ("the counter file"). Opens (and
    // makes) the lock file: a folder that cannot take it cannot take the
    // new file either, and that is better known before any board starts.
    [[nodiscard]] static std::expected<StateFile, SerialError> Open(const std::string &path, std::string role);

    StateFile(StateFile &&) noexcept = default;
    StateFile &operator=(StateFile &&) = delete;

    // Holds the lock until the FileLock goes. A lock is the same for every
    // process and every descriptor of this one, but not for two threads
    // on one descriptor: a source serves its threads one at a time itself.
    [[nodiscard]] std::expected<FileLock, SerialError> Lock(const std::atomic<bool> *giveUp) const;

    // The file's text; nothing when there is no such file. Kind CannotOpen,
    // or BadContent for a file too large to be one of these.
    [[nodiscard]] std::expected<std::optional<std::string>, SerialError> Read() const;

    // Replaces the text: written to PATH.tmp, flushed, renamed over PATH,
    // and the folder flushed. Kind CannotStore; the file then holds the old
    // text, unless only the folder's flush failed.
    [[nodiscard]] std::expected<void, SerialError> Replace(std::string_view text) const;

    // "the counter file serial.txt", as messages name it.
    const std::string &Described() const { return described_; }
    // Its name as messages show it.
    const std::string &Shown() const { return shown_; }

private:
    StateFile(std::string path, std::string shown, std::string described, UniqueFd lock);

    std::string path_;
    std::string shown_;
    std::string described_;
    UniqueFd lock_;
};

// Flushes the folder that holds `path` to the disk, so that a file renamed
// or linked there lasts; false (errno set) when it cannot be.
[[nodiscard]] bool FlushFolderOf(const std::string &path);

// `path` (bytes) as messages show it: control characters and bytes that
// are not UTF-8 as \xNN.
std::string ShownPath(const std::string &path);

}  // namespace qw735
