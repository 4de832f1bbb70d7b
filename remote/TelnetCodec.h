// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The Telnet layer of a serial port served over TCP with com-port control
// (RFC 2217), as a client sees it: the option negotiation and the stream's
// state machine. Plain C++ with no Qt, so that it can be fuzzed on its own:
// everything it decodes comes from the network.

#include "remote/ComPortControl.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qw735::telnet {

// Telnet commands.
inline constexpr std::uint8_t Iac = 255;   // interpret as command; doubled for a 0xFF data byte
inline constexpr std::uint8_t Dont = 254;
inline constexpr std::uint8_t Do = 253;
inline constexpr std::uint8_t Wont = 252;
inline constexpr std::uint8_t Will = 251;
inline constexpr std::uint8_t Sb = 250;    // subnegotiation begins
inline constexpr std::uint8_t Se = 240;    // subnegotiation ends

// What one Feed produced. The caller sends `reply` back to the server.
struct Decoded {
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> reply;
    std::vector<ComPortMessage> comPort;
    void Clear();
};

// Where an option stands on one side of the connection.
enum class OptionState : std::uint8_t { No, Requested, Yes };

// One client session's Telnet state. We offer COM-PORT-OPTION, BINARY and
// SUPPRESS-GO-AHEAD and ask the server for BINARY and SUPPRESS-GO-AHEAD;
// every other option either side proposes is refused. Answers follow the
// rule that keeps negotiation from looping: an option is only ever answered
// when its state changes.
class Codec {
public:
    Codec();

    // The session's first bytes: the offer of COM-PORT-OPTION comes first,
    // since some small servers switch Telnet on only when a negotiation
    // opens the stream.
    std::vector<std::uint8_t> Start();

    // Takes bytes from the network in any split: data bytes (IAC IAC made
    // one 0xFF) go to out.data, everything else is taken out of the stream.
    // Memory stays bounded whatever comes: subnegotiations longer than any
    // com-port message are cut, not collected.
    void Feed(std::span<const std::uint8_t> bytes, Decoded &out);

    // Yes once the server has agreed to com-port control, No once it has
    // refused, Requested until it has said either.
    OptionState ComPort() const { return local_[OptionComPort]; }

    // Data for the network, 0xFF doubled.
    static void AppendData(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t> &out);
    // A com-port command with a one-byte or a four-byte value.
    static void AppendCommand(std::uint8_t command, std::uint8_t value, std::vector<std::uint8_t> &out);
    static void AppendBaudRate(std::uint32_t baud, std::vector<std::uint8_t> &out);

private:
    enum class State : std::uint8_t { Data, Command, Option, SubOption, SubData, SubCommand };
    static constexpr std::size_t SubLimit = 8;  // command byte and up to four value bytes, with room

    void Negotiate(std::uint8_t verb, std::uint8_t option, Decoded &out);
    void EndSubnegotiation(Decoded &out);
    void AfterIac(std::uint8_t byte, Decoded &out);

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::uint8_t subOption_ = 0;
    std::array<std::uint8_t, SubLimit> sub_{};
    std::size_t subSize_ = 0;
    std::array<bool, 256> wantLocal_{};
    std::array<bool, 256> wantRemote_{};
    std::array<OptionState, 256> local_{};   // options we do (the server's DO / DONT)
    std::array<OptionState, 256> remote_{};  // options the server does (its WILL / WONT)
};

}  // namespace qw735::telnet
