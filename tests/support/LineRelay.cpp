// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/LineRelay.h"

#include "remote/ComPortControl.h"
#include "remote/TelnetCodec.h"
#include "sim/LineEvents.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace qw735::test {

namespace {

using namespace qw735::telnet;


speed_t SpeedOf(std::uint32_t baud)
{
    switch (baud) {
    case 38400: return B38400;
    case 19200: return B19200;
    case 115200: return B115200;
    default: return B9600;
    }
}

void SendAll(int fd, const std::vector<std::uint8_t> &bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t sent = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        at += static_cast<std::size_t>(sent);
    }
}

}  // namespace

LineRelay::LineRelay(std::string device) : device_(std::move(device))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(listener_, 4) != 0
        || ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0)
        throw std::runtime_error("the line relay cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

LineRelay::~LineRelay()
{
    const char stop = 1;
    [[maybe_unused]] auto written = ::write(stop_[1], &stop, 1);
    thread_.join();
    for (int fd : {listener_, stop_[0], stop_[1]})
        ::close(fd);
}

std::string LineRelay::Url() const
{
    return "rfc2217://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::uint8_t> LineRelay::Relayed() const
{
    std::lock_guard lock(mutex_);
    return relayed_;
}

void LineRelay::Serve()
{
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents)
            return;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        const int one = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Converse(client);
        ::close(client);
    }
}

void LineRelay::Converse(int client)
{
    const int line = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0)
        return;
    struct termios tio {};
    ::tcgetattr(line, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B9600);
    ::tcsetattr(line, TCSANOW, &tio);
    const int events = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sim::LineEvent lines;

    // The client's Telnet stream: data, option negotiation, and com-port
    // commands, IAC SB 44 command value... IAC SE.
    enum class State { Data, Iac, Option, Sub, SubIac } state = State::Data;
    std::uint8_t verb = 0;
    std::vector<std::uint8_t> sub, toLine;
    const auto answer = [&](std::uint8_t command, const std::vector<std::uint8_t> &value) {
        std::vector<std::uint8_t> out{Iac, Sb, OptionComPort, static_cast<std::uint8_t>(command + ServerAnswer)};
        for (std::uint8_t byte : value) {
            out.push_back(byte);
            if (byte == Iac)
                out.push_back(Iac);
        }
        out.insert(out.end(), {Iac, Se});
        SendAll(client, out);
    };
    const auto command = [&] {
        if (sub.size() < 2 || sub[0] != OptionComPort)
            return;
        const std::uint8_t which = sub[1];
        const std::vector<std::uint8_t> value(sub.begin() + 2, sub.end());
        if (which == SetBaudRate && value.size() == 4) {
            const std::uint32_t baud = (value[0] << 24) | (value[1] << 16) | (value[2] << 8) | value[3];
            ::tcgetattr(line, &tio);
            ::cfsetspeed(&tio, SpeedOf(baud));
            ::tcsetattr(line, TCSADRAIN, &tio);
        } else if (which == SetControl && value.size() == 1
                   && (value[0] == ControlDtrOn || value[0] == ControlDtrOff || value[0] == ControlRtsOn || value[0] == ControlRtsOff)) {
            if (value[0] == ControlDtrOn || value[0] == ControlDtrOff)
                lines.dtr = value[0] == ControlDtrOn;
            else
                lines.rts = value[0] == ControlRtsOn;
            lines.atNs = sim::MonotonicNs();
            lines.cause = static_cast<std::uint8_t>(sim::LineCause::Relayed);
            sim::SendLineEvent(events, device_, lines);
            std::lock_guard lock(mutex_);
            relayed_.push_back(value[0]);
        }
        answer(which, value);
    };

    for (;;) {
        pollfd fds[3] = {{client, POLLIN, 0}, {line, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 || fds[2].revents)
            break;
        std::uint8_t buffer[4096];
        if (fds[1].revents & POLLIN) {
            const ssize_t got = ::read(line, buffer, sizeof buffer);
            std::vector<std::uint8_t> out;
            for (ssize_t i = 0; i < got; ++i) {
                out.push_back(buffer[i]);
                if (buffer[i] == Iac)
                    out.push_back(Iac);
            }
            SendAll(client, out);
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP)))
            continue;
        const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        toLine.clear();
        for (ssize_t i = 0; i < got; ++i) {
            const std::uint8_t byte = buffer[i];
            switch (state) {
            case State::Data:
                if (byte == Iac)
                    state = State::Iac;
                else
                    toLine.push_back(byte);
                break;
            case State::Iac:
                if (byte == Iac) {
                    toLine.push_back(byte);
                    state = State::Data;
                } else if (byte == Sb) {
                    sub.clear();
                    state = State::Sub;
                } else if (byte == Will || byte == Wont || byte == Do || byte == Dont) {
                    verb = byte;
                    state = State::Option;
                } else {
                    state = State::Data;
                }
                break;
            case State::Option:
                // Agrees to the client's com-port control and to binary data.
                if (verb == Will)
                    SendAll(client, {Iac, Do, byte});
                else if (verb == Do)
                    SendAll(client, {Iac, Will, byte});
                state = State::Data;
                break;
            case State::Sub:
                if (byte == Iac)
                    state = State::SubIac;
                else
                    sub.push_back(byte);
                break;
            case State::SubIac:
                if (byte == Se) {
                    command();
                    state = State::Data;
                } else {
                    sub.push_back(byte);
                    state = State::Sub;
                }
                break;
            }
        }
        for (std::size_t at = 0; at < toLine.size();) {
            const ssize_t written = ::write(line, toLine.data() + at, toLine.size() - at);
            if (written <= 0)
                break;
            at += static_cast<std::size_t>(written);
        }
    }
    ::close(events);
    ::close(line);
}

}  // namespace qw735::test
