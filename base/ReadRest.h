// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Plain C++, header only.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <unistd.h>

namespace qw735 {

// Reads what is left of `fd` to its end, going on after an interrupted read.
// It stops once it holds more than `most` bytes, so that a caller can tell a
// file too large for what it should be without reading all of it. The error
// is the errno of a read that failed.
[[nodiscard]] inline std::expected<std::string, int> ReadRest(int fd, std::size_t most = SIZE_MAX - 1)
{
    std::string text;
    char buffer[65536];
    while (text.size() <= most) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::unexpected(errno);
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

}  // namespace qw735
