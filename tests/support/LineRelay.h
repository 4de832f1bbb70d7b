// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qw735::test {

// An RFC 2217 server of the tests' own on 127.0.0.1, in front of a wired
// simulated board's pseudo-terminal: it passes data both ways, puts the
// speed it is asked for on the device, and relays each SET-CONTROL for DTR
// and RTS to the board (see sim/LineEvents.h), timed as it answers it.
// One client at a time, on a thread of its own, until it goes.
class LineRelay {
public:
    explicit LineRelay(std::string device);
    ~LineRelay();
    LineRelay(const LineRelay &) = delete;
    LineRelay &operator=(const LineRelay &) = delete;

    std::string Url() const;
    // The SET-CONTROL values for the lines it confirmed, in order.
    std::vector<std::uint8_t> Relayed() const;

private:
    void Serve();
    void Converse(int client);

    std::string device_;
    int listener_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> relayed_;
    std::thread thread_;
};

}  // namespace qw735::test
