// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/TelnetCodec.h"

namespace qw735::telnet {

namespace {

// Options the codec asks for besides com-port control: every byte value
// is data, and no go-ahead is ever sent.
constexpr std::uint8_t OptionBinary = 0;
constexpr std::uint8_t OptionSuppressGoAhead = 3;

}  // namespace

void Decoded::Clear()
{
    data.clear();
    reply.clear();
    comPort.clear();
}

Codec::Codec()
{
    local_.fill(OptionState::No);
    remote_.fill(OptionState::No);
    for (std::uint8_t option : {OptionComPort, OptionBinary, OptionSuppressGoAhead})
        wantLocal_[option] = true;
    for (std::uint8_t option : {OptionBinary, OptionSuppressGoAhead})
        wantRemote_[option] = true;
}

std::vector<std::uint8_t> Codec::Start()
{
    std::vector<std::uint8_t> out;
    for (std::uint8_t option : {OptionComPort, OptionBinary, OptionSuppressGoAhead}) {
        local_[option] = OptionState::Requested;
        out.insert(out.end(), {Iac, Will, option});
    }
    for (std::uint8_t option : {OptionBinary, OptionSuppressGoAhead}) {
        remote_[option] = OptionState::Requested;
        out.insert(out.end(), {Iac, Do, option});
    }
    return out;
}

void Codec::Feed(std::span<const std::uint8_t> bytes, Decoded &out)
{
    for (const std::uint8_t byte : bytes) {
        switch (state_) {
        case State::Data:
            if (byte == Iac)
                state_ = State::Command;
            else
                out.data.push_back(byte);
            break;
        case State::Command:
            AfterIac(byte, out);
            break;
        case State::Option:
            Negotiate(verb_, byte, out);
            state_ = State::Data;
            break;
        case State::SubOption:
            subOption_ = byte;
            subSize_ = 0;
            state_ = State::SubData;
            break;
        case State::SubData:
            if (byte == Iac) {
                state_ = State::SubCommand;
            } else if (subSize_ < SubLimit) {
                sub_[subSize_++] = byte;
            }
            break;
        case State::SubCommand:
            if (byte == Iac) {
                if (subSize_ < SubLimit)
                    sub_[subSize_++] = Iac;
                state_ = State::SubData;
            } else if (byte == Se) {
                EndSubnegotiation(out);
                state_ = State::Data;
            } else {
                // A command inside a subnegotiation ends it unfinished.
                AfterIac(byte, out);
            }
            break;
        }
    }
}

void Codec::AfterIac(std::uint8_t byte, Decoded &out)
{
    switch (byte) {
    case Iac:
        out.data.push_back(Iac);
        state_ = State::Data;
        break;
    case Will:
    case Wont:
    case Do:
    case Dont:
        verb_ = byte;
        state_ = State::Option;
        break;
    case Sb:
        state_ = State::SubOption;
        break;
    default:
        // NOP, go-ahead, break, a stray SE and the like carry nothing for us.
        state_ = State::Data;
        break;
    }
}

void Codec::Negotiate(std::uint8_t verb, std::uint8_t option, Decoded &out)
{
    const bool aboutUs = verb == Do || verb == Dont;
    const bool enable = verb == Do || verb == Will;
    OptionState &state = aboutUs ? local_[option] : remote_[option];
    const bool wanted = aboutUs ? wantLocal_[option] : wantRemote_[option];
    const auto answer = [&](std::uint8_t reply) { out.reply.insert(out.reply.end(), {Iac, reply, option}); };

    if (enable) {
        if (state == OptionState::Requested) {
            state = OptionState::Yes;
        } else if (state == OptionState::No) {
            if (wanted) {
                state = OptionState::Yes;
                answer(aboutUs ? Will : Do);
            } else {
                answer(aboutUs ? Wont : Dont);
            }
        }
    } else {
        if (state == OptionState::Yes)
            answer(aboutUs ? Wont : Dont);
        state = OptionState::No;
    }
}

void Codec::EndSubnegotiation(Decoded &out)
{
    if (subOption_ != OptionComPort || subSize_ == 0)
        return;
    ComPortMessage message;
    message.command = sub_[0];
    for (std::size_t i = 1; i < subSize_ && i <= 4; ++i)
        message.value = (message.value << 8) | sub_[i];
    out.comPort.push_back(message);
}

void Codec::AppendData(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t> &out)
{
    for (const std::uint8_t byte : bytes) {
        out.push_back(byte);
        if (byte == Iac)
            out.push_back(Iac);
    }
}

void Codec::AppendCommand(std::uint8_t command, std::uint8_t value, std::vector<std::uint8_t> &out)
{
    out.insert(out.end(), {Iac, Sb, OptionComPort, command});
    AppendData(std::span(&value, 1), out);
    out.insert(out.end(), {Iac, Se});
}

void Codec::AppendBaudRate(std::uint32_t baud, std::vector<std::uint8_t> &out)
{
    const std::array<std::uint8_t, 4> value = {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                                               static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
    out.insert(out.end(), {Iac, Sb, OptionComPort, SetBaudRate});
    AppendData(value, out);
    out.insert(out.end(), {Iac, Se});
}

}  // namespace qw735::telnet
