// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// How a simulated board learns of its modem lines. A pseudo-terminal has
// none, so whoever stands for the port's driver in a test (an interposer on
// the writer's line calls, a server relaying com-port control) tells the
// board of each change, with the time it happened, as one datagram on a
// socket named after the board's device. Plain C++, header only: the
// interposer is a library of its own with nothing else in it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace qw735::sim {

// What changed the lines.
enum class LineCause : std::uint8_t {
    Opened = 1,  // the device was opened: the kernel raises both lines
    Closed = 2,  // the last close with HUPCL set: the kernel drops both
    Set = 3,     // a modem-line call (TIOCMSET, TIOCMBIS, TIOCMBIC)
    Relayed = 4, // a server's com-port control (SET-CONTROL)
};

// The lines' state after a change, and when it happened (CLOCK_MONOTONIC,
// the steady clock of both processes).
struct LineEvent {
    std::int64_t atNs = 0;
    std::uint8_t dtr = 0;
    std::uint8_t rts = 0;
    std::uint8_t cause = 0;
};

inline std::int64_t MonotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The board's socket, in the abstract namespace (no file to clean up):
// one per device, which only one board plays at a time.
inline socklen_t LineSocketAddress(const std::string &device, sockaddr_un &address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::string name = "qw735-lines:" + device;
    const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// Tells the board behind `device`, if one listens, through `socketFd` (a
// datagram socket of the caller's). Nothing listening is no error: the
// device then has no wired board.
inline void SendLineEvent(int socketFd, const std::string &device, const LineEvent &event)
{
    sockaddr_un address{};
    const socklen_t length = LineSocketAddress(device, address);
    ::sendto(socketFd, &event, sizeof event, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&address), length);
}

}  // namespace qw735::sim
