// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/LineEvents.h"
#include "sim/Wiring.h"

namespace qw735::sim {

class BoardTrace;

// Where the board is in a write. Boot mode runs at 9600 baud, the loader
// (Command onwards) at 38400.
enum class Phase {
    Sync,        // waiting for 0x00 bytes
    Handshake,   // synchronised, waiting for 0x55
    LoaderSize,  // two length bytes, most significant first
    LoaderBody,  // loader bytes, each echoed
    Command,     // the loader runs: "P" 0x00
    Header,      // four 0x00 and the four size bytes
    Blocks,      // 0x11 and 64 image bytes, each block requested with 0x11
    Checksum,    // 0x11 and the checksum byte
    Done,        // the write is over; anything more is unexpected
    Program,     // not in boot mode: the board runs its program and answers nothing
};

// Where a board with wired reset and mode pins is.
enum class BoardState {
    Program,  // running its program (how it starts)
    Reset,    // held in reset
    Boot,     // in serial boot mode: it plays the write
};
const char *PhaseName(Phase phase);

// The line settings the host has put on its side of the pseudo-terminal.
struct LineSettings {
    int baud = 0;
    bool raw = false;                  // no canonical mode, echo, signals or CR/LF mapping, 8 bits
    bool softwareFlowControl = false;  // IXON or IXOFF: would eat 0x11 and 0x13
    bool hardwareFlowControl = false;  // CRTSCTS
    bool operator==(const LineSettings &) const = default;
};

struct ReceivedByte {
    std::uint8_t value = 0;
    Phase phase = Phase::Sync;
    std::chrono::steady_clock::time_point at;
    bool garbled = false;  // came while the line ran at a speed the board does not use in this phase
    bool early = false;    // came while the loader was still setting up its UART, which did not take it
};

// A reply the board gives, or silence.
using Reply = std::optional<std::uint8_t>;

// What the board does, phase by phase. The defaults play a healthy board;
// each field changes one step to inject a fault.
struct BoardScript {
    // Echo mode: no protocol, every byte is sent straight back.
    bool echoOnly = false;

    int syncAfterZeros = 1;   // answer the k-th 0x00; 0: never answer
    int syncReplyDelayMs = 0; // answer this long after that 0x00
    std::uint8_t syncReply = 0x00;
    // Answer every 0x00 that comes before 0x55 with syncReply, not only the
    // one that synchronised the board: a boot ROM may, and a host on a slow
    // line has sent several by the time it sees the first answer.
    bool answerEveryZero = false;
    Reply handshakeReply = 0xAA;
    // What the boot mode says after the first size byte: nothing on a
    // healthy board, but nothing the host may take for an echo either.
    Reply sizeReply;
    // Echo both size bytes, as a boot ROM that echoes every byte it takes
    // would (instead of sizeReply).
    bool echoSize = false;

    std::size_t echoFaultAt = 0;  // 1-based loader byte whose echo goes wrong; 0: none
    Reply echoFaultReply;         // what comes back for it instead (nothing when empty)
    Reply endMark = 0xAA;
    // A glitch the loader's UART set-up puts on the line a moment after the
    // end mark, before anyone asked it anything.
    Reply loaderStartNoise;

    Reply commandReply = 0x06;
    // 1-based request: 1..blocks ask for blocks, blocks + 1 for the checksum.
    std::size_t requestFaultAt = 0;
    Reply requestFaultReply;
    Reply finalReply = 0x06;        // sent when the checksum is right
    Reply badChecksumReply = 0x15;  // sent when it is not

    // Close the master after this many received bytes (an unplugged adapter); 0: never.
    std::size_t hangUpAfter = 0;
    // Take as long as a real cable at the baud rate the host has set.
    bool modelWireTime = false;
    // Keep that time by sleeping only before each reply, never spinning:
    // a reply may come some tens of microseconds late, but dozens of boards
    // then fit on two cores. Exact timing spins through the last 400 us
    // before every byte, which starves other boards on a busy machine.
    bool lightWireTime = false;
    // Without wire time, two replies in a row (the last echo and the end
    // mark) would reach the host in one read. On a cable they are at least a
    // byte time apart; the board keeps them this far apart, unless it batches.
    int replyGapMs = 5;
    // Deliver what the board says as a USB adapter does, in packets: every
    // byte it sends before it next waits for the host goes out in one write,
    // so the last loader echo and the end mark reach the host together.
    bool batchReplies = false;
    // The loader the boot mode starts after the end mark needs this long to
    // set up its UART; bytes that arrive sooner are lost, as on a UART not
    // yet configured.
    int loaderStartMs = 0;
    // Everything the board sends reaches the host this long late, in order,
    // as through a USB adapter that holds received bytes for its latency
    // timer, or a network: the board's own timing is unchanged.
    int replyLatencyMs = 0;
    // After a write, wait for the next one instead of stopping.
    bool keepServing = false;
    // Where the board writes its wire trace, in the writer's format; none
    // when null. The board's zero is its construction.
    std::FILE *trace = nullptr;
    // Reset and mode pins on the adapter's DTR and RTS: the board starts
    // running its program and enters boot mode only when reset is released,
    // after it was held long enough, with the mode pin at the boot level.
    // It learns of the lines from whoever stands for the driver (see
    // LineEvents.h), and the line's HUPCL is set, as on a real adapter.
    // Without a wiring the board is in boot mode from the start.
    std::optional<Wiring> wiring;
};

// What the board saw of the last write it played.
struct WriteRecord {
    Phase reached = Phase::Sync;
    std::vector<std::uint8_t> loader;  // loader bytes as received
    int loaderLength = -1;             // from the two size bytes
    std::uint32_t imageSize = 0;       // from the four size bytes
    std::vector<std::uint8_t> image;   // image bytes as received
    int checksum = -1;                 // checksum byte as received
    bool checksumRight = false;
    bool completed = false;            // final reply sent after a right checksum
    // The write ended with the board saying nothing where the host waits
    // for a reply: the host's own time limit ends it.
    bool endedSilent = false;
};

// A board in serial boot mode on the master side of a pseudo-terminal pair.
// The host opens SlavePath() as its serial port. The board runs on a thread
// of its own from construction until Stop() or destruction.
class TargetSim {
public:
    explicit TargetSim(BoardScript script = {});
    ~TargetSim();
    TargetSim(const TargetSim &) = delete;
    TargetSim &operator=(const TargetSim &) = delete;

    const std::string &SlavePath() const { return slavePath_; }
    // Ends the board; what it said still reaches the host first.
    void Stop();

    // Sends bytes to the host now, outside any script (link tests).
    void SendToHost(const std::vector<std::uint8_t> &bytes);

    std::vector<ReceivedByte> Received() const;
    // When the last byte came from the host; none before the first.
    std::optional<std::chrono::steady_clock::time_point> LastReceivedAt() const;
    std::vector<std::uint8_t> ReceivedValues() const;
    // Settings at the first byte of each phase the write reached.
    std::map<Phase, LineSettings> SettingsSeen() const;
    // The settings on the line right now.
    LineSettings CurrentSettings() const;
    WriteRecord LastWrite() const;
    bool HungUp() const { return hungUp_; }
    // The wired board's state, and every change of its lines it was told of.
    BoardState State() const;
    std::vector<LineEvent> LineEvents() const;
    // How often it entered boot mode, and how often the chip restarted at
    // all (reset released after it was held long enough).
    int BootEntries() const;
    int Restarts() const;
    // When the host last did anything the board saw: a byte or a line change.
    std::optional<std::chrono::steady_clock::time_point> LastActivityAt() const;
    // Blocks until `count` bytes were received or `timeout` passed.
    bool WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const;
    // Blocks until the board thread has ended (hang-up, Stop, or the write is over).
    bool WaitForEnd(std::chrono::milliseconds timeout) const;

private:
    struct Stopped {};
    // The board entered or left boot mode: the write it played is over.
    struct Restarted {};
    void Run();
    // Takes the line changes waiting on the socket; true when the board
    // entered or left boot mode.
    bool TakeLineEvents();
    void ApplyLineEvent(const LineEvent &event);
    // The chip leaves reset, released at `releasedNs`, and reads its mode pin.
    void LeaveReset();
    // Leaves reset when its time has come by `nowNs`; true when the board
    // entered or left boot mode.
    bool LeaveResetBy(std::int64_t nowNs);
    void SetPhaseQuietly(Phase phase);
    void PlayWrite();
    void EchoForever();
    std::uint8_t Receive();
    void Send(std::uint8_t value);
    void SendReply(const Reply &reply);
    // Says `reply` (or nothing) and ends the write there.
    void EndWith(const Reply &reply);
    void FlushBatch();
    // Hands bytes to the line: at once, or after the reply latency.
    void Deliver(const std::uint8_t *bytes, std::size_t count);
    void WriteToMaster(const std::uint8_t *bytes, std::size_t count);
    void RunDeliveries();
    void StopDeliveries();
    void SleepUntil(std::chrono::steady_clock::time_point when) const;
    static std::chrono::nanoseconds ByteTime(int baud);
    void EnterPhase(Phase phase);
    void HangUp();

    BoardScript script_;
    int master_ = -1;
    int slave_ = -1;  // held open so the pair survives the host closing its side
    int stopPipe_[2] = {-1, -1};
    std::string slavePath_;

    // Bytes read from the master but not yet handed to the script.
    std::vector<std::uint8_t> pending_;
    std::size_t pendingAt_ = 0;
    std::chrono::steady_clock::time_point lastArrival_{};
    std::chrono::steady_clock::time_point lastSent_{};
    // When the last reply was handed to the line (or to the batch); the
    // loader's start-up counts from the end mark's.
    std::chrono::steady_clock::time_point lastHandedOver_{};
    bool sentSinceReceive_ = false;
    std::vector<std::uint8_t> batch_;  // sent, not yet delivered (batchReplies)
    std::chrono::steady_clock::time_point loaderReadyAt_{};
    LineSettings chunkSettings_;  // as read with the bytes in pending_
    Phase phase_ = Phase::Sync;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<ReceivedByte> received_;
    std::map<Phase, LineSettings> settingsSeen_;
    WriteRecord write_;
    bool ended_ = false;
    std::atomic<bool> hungUp_{false};
    std::mutex sendMutex_;
    std::unique_ptr<BoardTrace> trace_;

    // Bytes on their way to the host under a reply latency, in the order
    // sent, each write with the time it is due.
    struct Delivery {
        std::chrono::steady_clock::time_point due;
        std::vector<std::uint8_t> bytes;
    };
    std::mutex deliveryMutex_;
    std::condition_variable deliveryChanged_;
    std::deque<Delivery> deliveries_;
    bool deliveriesEnd_ = false;
    std::thread deliverer_;

    std::thread thread_;

    int lineSocket_ = -1;  // the wired board's, see LineEvents.h
    BoardState state_ = BoardState::Boot;
    std::int64_t resetSinceNs_ = 0;
    // Reset let go long enough after it was held: the chip leaves reset at
    // this time (0: not leaving), with the mode pin as last seen.
    std::int64_t leavesResetAtNs_ = 0;
    bool modeBoot_ = false;
    int missed_ = 0;
    int bootEntries_ = 0;
    int restarts_ = 0;
    std::vector<LineEvent> lineEvents_;
};

}  // namespace qw735::sim
