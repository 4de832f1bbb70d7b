// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-target-sim: plays a board in serial boot mode on a pseudo-terminal,
// so that the writer can be tried and measured without hardware.

#include "sim/TargetSim.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using namespace qw735::sim;

constexpr const char *Usage =
    "Usage: qw735-target-sim [options]\n"
    "Opens a pseudo-terminal, prints the path the writer should use as its port,\n"
    "and plays a board through one write (sync, handshake, loader with echo and\n"
    "end mark, then the loader: command reply, block requests, checksum check).\n"
    "\n"
    "  --link PATH              also make PATH a symbolic link to the port\n"
    "  --save-image FILE        save the image bytes received to FILE\n"
    "  --wire-time              take as long as a real cable at the host's baud rate\n"
    "  --wire-time=light        the same, sleeping instead of spinning: for many boards\n"
    "                           on few cores, each reply up to some 100 us late\n"
    "  --keep-serving           serve one write after another until interrupted\n"
    "  --trace, --trace=FILE    write a wire trace to stderr or FILE, in the writer's\n"
    "                           format and with its step names\n"
    "  --batch                  send replies in packets, as a USB adapter does: the\n"
    "                           last loader echo and the end mark arrive together\n"
    "  --loader-start MS        the loader takes MS ms to set up its UART after the\n"
    "                           end mark and loses the bytes that come sooner\n"
    "  --reply-latency MS       everything the board sends reaches the host MS ms late,\n"
    "                           in order, as through an adapter's latency timer or a\n"
    "                           network (0..60000)\n"
    "  --answer-every-zero      answer every 0x00 before 0x55, not only the first\n"
    "  --echo-size              echo the loader's two size bytes\n"
    "  --wiring reset=LINE,mode=LINE[,direct][,reset-ms=N][,miss=N]\n"
    "                           reset and mode pins on DTR or RTS (~dtr, ~rts: an\n"
    "                           inverted adapter), through the usual transistor pair\n"
    "                           (a pin driven only while its line is on and the other\n"
    "                           off) unless direct; the board starts running its\n"
    "                           program (answering nothing) and enters boot mode when\n"
    "                           reset, held N ms at least (default 20), is released\n"
    "                           with the mode pin at the boot level; it misses the\n"
    "                           first N entries with miss=N. It learns of the lines\n"
    "                           from the tests' interposer or a relaying server\n"
    "  -h, --help               show this help\n"
    "  -V, --version            show the version\n"
    "faults (REPLY is a hex byte such as 15, or 'none' for silence):\n"
    "  --no-sync                never answer the synchronisation bytes; the write ends\n"
    "                           a second after the last one, unless --keep-serving\n"
    "  --sync-after N           answer only the N-th 0x00, as a board put in boot mode\n"
    "                           while the writer already synchronises\n"
    "  --handshake-reply REPLY  answer 0x55 with REPLY instead of AA\n"
    "  --echo-fault N[:REPLY]   echo loader byte N wrongly (default: none)\n"
    "  --end-mark REPLY         end the loader with REPLY instead of AA\n"
    "  --command-reply REPLY    answer \"P\" 0x00 with REPLY instead of 06\n"
    "  --request-fault N[:REPLY]\n"
    "                           answer request N (1-based: the blocks, then the\n"
    "                           checksum) with REPLY\n"
    "  --final-reply REPLY      answer a right checksum with REPLY instead of 06\n"
    "  --hang-up-after N        close the line after receiving N bytes\n"
    "A fault that is silence keeps the line open until the writer has given up\n"
    "waiting (nothing from it for 5 s), so that its time limit ends the write.\n";

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "qw735-target-sim: %s\n%s", what, Usage);
    std::exit(64);
}

Reply ParseReply(const std::string &text)
{
    if (text == "none")
        return std::nullopt;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0' || value > 0xFF)
        Fail("a reply is a hex byte (00..FF) or 'none'");
    return static_cast<std::uint8_t>(value);
}

std::size_t ParseCount(const std::string &text)
{
    char *end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value == 0)
        Fail("a count is a whole number from 1");
    return value;
}

int ParseMilliseconds(const std::string &text)
{
    const std::size_t ms = text == "0" ? 0 : ParseCount(text);
    if (ms > 60'000)
        Fail("a time is at most 60000 ms");
    return static_cast<int>(ms);
}

// "N" or "N:REPLY"; a fault without a reply is silence.
void ParseIndexedFault(const std::string &text, std::size_t &index, Reply &reply)
{
    const auto colon = text.find(':');
    index = ParseCount(text.substr(0, colon));
    reply = colon == std::string::npos ? std::nullopt : ParseReply(text.substr(colon + 1));
}

volatile std::sig_atomic_t interrupted = 0;

// The host's longest wait for one reply, and room for a busy machine.
constexpr auto HostGivesUpAfter = std::chrono::seconds(3) + std::chrono::seconds(2);

// Whether the host has sent nothing for `quiet`, having sent anything at all.
bool HostQuietFor(const TargetSim &board, std::chrono::steady_clock::duration quiet)
{
    const auto last = board.LastReceivedAt();
    return last && std::chrono::steady_clock::now() - *last > quiet;
}

// Whether one write is over for a board that serves only one. A board that
// has not answered the synchronisation bytes cannot tell when the writer
// gave up; a writer that has not sends one every 10 ms, so a second without
// one ends the write. A board that ended its write in silence leaves the
// line open while the writer waits for the reply: closing it would end the
// write as a lost port instead of the time-out the fault stands for. And a
// writer that stopped midway has gone once it has been quiet for longer
// than it ever waits.
bool WriteIsOver(const TargetSim &board, bool wired)
{
    const WriteRecord write = board.LastWrite();
    // A wired board waits for the writer to restart it into its program, or
    // to leave it alone for a second; so does one the writer has not put
    // into boot mode (yet), or has reset.
    if (wired) {
        const auto last = board.LastActivityAt();
        const bool quiet = last && std::chrono::steady_clock::now() - *last > std::chrono::seconds(1);
        switch (board.State()) {
        case BoardState::Reset: return quiet;
        case BoardState::Program: return write.reached == Phase::Done || quiet;
        case BoardState::Boot:
            if (write.reached == Phase::Done && !write.endedSilent)
                return quiet;
            break;
        }
    }
    switch (write.reached) {
    case Phase::Sync: return HostQuietFor(board, std::chrono::seconds(1));
    case Phase::Done: return !write.endedSilent || HostQuietFor(board, HostGivesUpAfter);
    default: return HostQuietFor(board, HostGivesUpAfter);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    BoardScript script;
    std::string linkPath;
    std::string imagePath;
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> traceFile(nullptr, std::fclose);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Fail(("missing value for " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--link") linkPath = value();
        else if (arg == "--save-image") imagePath = value();
        else if (arg == "--wire-time") script.modelWireTime = true;
        else if (arg == "--wire-time=light") script.modelWireTime = script.lightWireTime = true;
        else if (arg == "--trace") script.trace = stderr;
        else if (arg.starts_with("--trace=")) {
            traceFile.reset(std::fopen(arg.substr(8).c_str(), "w"));
            if (!traceFile) {
                std::perror(arg.substr(8).c_str());
                return 1;
            }
            script.trace = traceFile.get();
        }
        else if (arg == "--keep-serving") script.keepServing = true;
        else if (arg == "--batch") script.batchReplies = true;
        else if (arg == "--loader-start") script.loaderStartMs = ParseMilliseconds(value());
        else if (arg == "--reply-latency") script.replyLatencyMs = ParseMilliseconds(value());
        else if (arg == "--answer-every-zero") script.answerEveryZero = true;
        else if (arg == "--echo-size") script.echoSize = true;
        else if (arg == "--wiring") {
            std::string error;
            script.wiring = ParseWiring(value(), error);
            if (!script.wiring)
                Fail(error.c_str());
        }
        else if (arg == "--no-sync") script.syncAfterZeros = 0;
        else if (arg == "--sync-after") script.syncAfterZeros = static_cast<int>(std::min<std::size_t>(ParseCount(value()), 1'000'000));
        else if (arg == "--handshake-reply") script.handshakeReply = ParseReply(value());
        else if (arg == "--echo-fault") ParseIndexedFault(value(), script.echoFaultAt, script.echoFaultReply);
        else if (arg == "--end-mark") script.endMark = ParseReply(value());
        else if (arg == "--command-reply") script.commandReply = ParseReply(value());
        else if (arg == "--request-fault") ParseIndexedFault(value(), script.requestFaultAt, script.requestFaultReply);
        else if (arg == "--final-reply") script.finalReply = ParseReply(value());
        else if (arg == "--hang-up-after") script.hangUpAfter = ParseCount(value());
        else if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (arg == "-V" || arg == "--version") {
            std::printf("qw735-target-sim %s\n", QW735_VERSION);
            return 0;
        } else
            Fail(("unknown option " + arg).c_str());
    }

    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });

    TargetSim board(script);
    if (!linkPath.empty()) {
        ::unlink(linkPath.c_str());
        if (::symlink(board.SlavePath().c_str(), linkPath.c_str()) != 0) {
            std::perror(linkPath.c_str());
            return 1;
        }
    }
    std::printf("%s\n", board.SlavePath().c_str());
    std::fflush(stdout);

    // One write: until the board has played it out (or hung up); a short
    // grace period records anything the host still sends after the end.
    while (!interrupted && !board.HungUp() && (script.keepServing || !WriteIsOver(board, script.wiring.has_value()))) {
        // The end wakes the wait at once; past the end, it returns at once.
        if (script.keepServing || board.WaitForEnd(std::chrono::milliseconds(100)))
            ::usleep(100'000);
    }
    ::usleep(200'000);
    board.Stop();
    if (!linkPath.empty())
        ::unlink(linkPath.c_str());

    const WriteRecord write = board.LastWrite();
    if (!imagePath.empty()) {
        std::ofstream out(imagePath, std::ios::binary);
        out.write(reinterpret_cast<const char *>(write.image.data()), static_cast<std::streamsize>(write.image.size()));
        if (!out) {
            std::perror(imagePath.c_str());
            return 1;
        }
    }
    std::fprintf(stderr, "qw735-target-sim: %s; loader %d bytes, image %zu of %u bytes, checksum %s\n",
                 write.completed ? "write completed" : (std::string("write ended in phase ") + PhaseName(write.reached)).c_str(),
                 write.loaderLength, write.image.size(), write.imageSize,
                 write.checksum < 0 ? "not received" : (write.checksumRight ? "right" : "wrong"));
    return write.completed ? 0 : 1;
}
