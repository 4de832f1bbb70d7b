// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Plain C++, header only, beside the descriptor's owner.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <expected>
#include <sys/file.h>
#include <thread>
#include <utility>

namespace qw735 {

// An exclusive lock on a whole file (flock), shared with other processes
// and with other descriptors of the file in this one, held while it lives.
// The lock is tried rather than waited for in the kernel, so that whoever
// waits can give up at once: a signal that ends the run must not wait for
// another program to let go of the file.
class FileLock {
public:
    // Waits for the lock on `fd`'s file. The error is the errno of a lock
    // that cannot be had, EINTR when `giveUp` was set while another held it.
    [[nodiscard]] static std::expected<FileLock, int> Take(int fd, const std::atomic<bool> *giveUp)
    {
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return std::unexpected(errno);
            if (giveUp && giveUp->load())
                return std::unexpected(EINTR);
            std::this_thread::sleep_for(RetryInterval);
        }
        return FileLock(fd);
    }

    FileLock(FileLock &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileLock &operator=(FileLock &&) = delete;
    ~FileLock()
    {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_UN);
    }

private:
    explicit FileLock(int fd) : fd_(fd) {}

    // Short beside a write, long beside a system call.
    static constexpr std::chrono::milliseconds RetryInterval{20};
    int fd_;
};

}  // namespace qw735
