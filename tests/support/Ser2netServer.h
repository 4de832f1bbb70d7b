// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <sys/types.h>

namespace qw735::sim {

// Debian's ser2net serving one serial device (the simulated board's
// pseudo-terminal) with com-port control (RFC 2217) on 127.0.0.1, on a free
// port, for as long as this object lives. Runs in the foreground as a child
// that dies with the thread that started it, so a failing or killed test
// leaves no server behind.
class Ser2netServer {
public:
    struct Options {
        // ser2net's default: hold what the device sends for about two
        // character times before passing it on, to fill the packets. It
        // delays every reply; a board flashed over the network wants it off.
        bool chardelay = true;
        // Send small packets at once instead of waiting for the client's
        // acknowledgement of the previous one (TCP_NODELAY).
        bool nodelay = false;
    };

    // Throws std::runtime_error, with ser2net's own output, when the server
    // does not come up.
    explicit Ser2netServer(const std::string &device);
    Ser2netServer(const std::string &device, Options options);
    ~Ser2netServer();
    Ser2netServer(const Ser2netServer &) = delete;
    Ser2netServer &operator=(const Ser2netServer &) = delete;

    // "rfc2217://127.0.0.1:PORT"
    std::string Url() const;
    // Ends the server at once with SIGKILL, as a crash or a power cut would.
    void Kill();

private:
    // The configuration this class runs ser2net with.
    static std::string Configuration(const std::string &device, int port, Options options);
    bool Start(const std::string &device, Options options);
    bool Listening() const;
    void Stop();
    std::string Log() const;
    void RemoveFiles() const;

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace qw735::sim
