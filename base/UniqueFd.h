// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Plain C++, header only: the image reader, which is fuzzed without Qt,
// owns its descriptor through it too.

#include <unistd.h>
#include <utility>

namespace qw735 {

// Owns one file descriptor: closes it when it goes, hands it on when moved,
// and is never copied, so that a descriptor is closed exactly once whatever
// path a function leaves by.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { Reset(); }

    // The descriptor, -1 when none is held.
    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void Reset(int fd = -1) noexcept
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace qw735
