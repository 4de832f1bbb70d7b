// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target for the Telnet / com-port decoder: whatever a server sends.
//
// The first input byte chooses how the rest is cut into segments (as TCP may
// cut it); the decoder is fed segment by segment. Its data bytes must equal
// those of a plain reference decoding of the whole stream, its com-port
// messages likewise, and nothing it produces may outgrow the input.

#include "remote/TelnetCodec.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

using namespace qw735::telnet;

namespace {

void Check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "TelnetFuzz: %s\n", what);
        std::abort();
    }
}

struct Reference {
    std::vector<std::uint8_t> data;
    std::vector<ComPortMessage> comPort;
};

// The stream's grammar read straight off the whole input: IAC IAC is a
// 0xFF data byte; IAC and a verb take one option byte; IAC SB runs to
// IAC SE, with IAC IAC inside it one 0xFF, and any other IAC command inside
// it ends it unfinished and counts as that command; any other IAC command
// is two bytes.
Reference Decode(std::span<const std::uint8_t> in)
{
    Reference out;
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return k < in.size() ? int(in[k]) : -1; };
    const auto isVerb = [](int b) { return b == Will || b == Wont || b == Do || b == Dont; };
    while (i < in.size()) {
        if (in[i] != Iac) {
            out.data.push_back(in[i++]);
            continue;
        }
        const int command = at(i + 1);
        if (command == Iac) {
            out.data.push_back(Iac);
            i += 2;
        } else if (isVerb(command)) {
            i += 3;
        } else if (command == Sb) {
            i += 2;
            // Subnegotiations may chain: IAC SB ... IAC SB ... IAC SE.
            for (;;) {
                const int option = at(i++);
                std::vector<std::uint8_t> body;
                int ending = -1;
                while (i < in.size()) {
                    if (in[i] != Iac) {
                        body.push_back(in[i++]);
                    } else if (at(i + 1) == Iac) {
                        body.push_back(Iac);
                        i += 2;
                    } else {
                        ending = at(i + 1);
                        i += 2;
                        break;
                    }
                }
                if (ending == Se && option == OptionComPort && !body.empty()) {
                    ComPortMessage message{body[0], 0};
                    for (std::size_t k = 1; k < body.size() && k <= 4; ++k)
                        message.value = (message.value << 8) | body[k];
                    out.comPort.push_back(message);
                }
                if (ending == Sb) {
                    continue;
                }
                if (isVerb(ending))
                    i += 1;
                break;
            }
        } else {
            i += 2;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t step = bytes[0] % 7 + 1;  // 1..7 bytes a segment, the last one longer
    const std::span<const std::uint8_t> stream(bytes + 1, size - 1);

    Codec codec;
    codec.Start();
    Decoded total;
    Decoded segment;
    std::size_t replyBytes = 0;
    for (std::size_t at = 0; at < stream.size(); at += step) {
        const std::size_t length = at + 2 * step > stream.size() ? stream.size() - at : step;
        segment.Clear();
        codec.Feed(stream.subspan(at, length), segment);
        Check(segment.data.size() <= length, "more data out than bytes in");
        Check(segment.reply.size() <= length + 2, "a reply larger than what it answers");
        replyBytes += segment.reply.size();
        total.data.insert(total.data.end(), segment.data.begin(), segment.data.end());
        total.comPort.insert(total.comPort.end(), segment.comPort.begin(), segment.comPort.end());
        if (length != step)
            break;
    }
    Check(replyBytes <= stream.size(), "replies outgrow the stream");
    Check(total.comPort.size() <= stream.size() / 6, "more com-port messages than the stream holds");

    const Reference reference = Decode(stream);
    Check(total.data == reference.data, "data differ from the reference decoding");
    Check(total.comPort == reference.comPort, "com-port messages differ from the reference decoding");
    return 0;
}
