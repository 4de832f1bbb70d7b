// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The com-port control option of RFC 2217: its commands, their values and
// the messages a server sends, apart from the Telnet stream that carries
// them. Plain C++ with no Qt, as the codec.

#include <cstdint>

namespace qw735::telnet {

inline constexpr std::uint8_t OptionComPort = 44;

// Com-port commands from the client; the server answers each with the
// command plus ServerAnswer and the value now in force.
inline constexpr std::uint8_t SetBaudRate = 1;  // 4 bytes, most significant first
inline constexpr std::uint8_t SetDataSize = 2;
inline constexpr std::uint8_t SetParity = 3;
inline constexpr std::uint8_t SetStopSize = 4;
inline constexpr std::uint8_t SetControl = 5;
inline constexpr std::uint8_t PurgeData = 12;
inline constexpr std::uint8_t ServerAnswer = 100;

inline constexpr std::uint8_t ParityNone = 1;
inline constexpr std::uint8_t ParityOdd = 2;
inline constexpr std::uint8_t ParityEven = 3;
inline constexpr std::uint8_t ParityMark = 4;
inline constexpr std::uint8_t ParitySpace = 5;
inline constexpr std::uint8_t StopOne = 1;
inline constexpr std::uint8_t StopTwo = 2;
inline constexpr std::uint8_t StopOneAndHalf = 3;
inline constexpr std::uint8_t ControlNoFlow = 1;
// SET-CONTROL values for the modem lines; a server answers with the state it set.
inline constexpr std::uint8_t ControlDtrOn = 8;
inline constexpr std::uint8_t ControlDtrOff = 9;
inline constexpr std::uint8_t ControlRtsOn = 11;
inline constexpr std::uint8_t ControlRtsOff = 12;
inline constexpr std::uint8_t PurgeReceiveBuffer = 1;  // what the device sent and the server holds

// A com-port subnegotiation from the server: the command as sent (an answer
// is the client's command + 100; notifications are 106, 107, ...) and its
// value, most significant byte first, from at most four value bytes.
struct ComPortMessage {
    std::uint8_t command = 0;
    std::uint32_t value = 0;
    bool operator==(const ComPortMessage &) const = default;
};

}  // namespace qw735::telnet
