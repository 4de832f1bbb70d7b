// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/TargetSim.h"

#include "sim/BoardTrace.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace qw735::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Boot-mode and loader bytes as the board sees them.
constexpr std::uint8_t SyncByte = 0x00;
constexpr std::uint8_t HandshakeRequest = 0x55;
constexpr std::uint8_t CommandByte = 0x50;  // "P": program
constexpr std::uint8_t BlockMark = 0x11;    // request from the board, prefix from the host
constexpr std::size_t BlockSize = 64;

constexpr int BootBaud = 9600;
constexpr int LoaderBaud = 38400;

int BaudOf(speed_t speed)
{
    switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

LineSettings ReadSettings(int fd)
{
    LineSettings settings;
    struct termios tio {};
    if (::tcgetattr(fd, &tio) != 0)
        return settings;
    settings.baud = BaudOf(::cfgetospeed(&tio));
    settings.softwareFlowControl = (tio.c_iflag & (IXON | IXOFF)) != 0;
    settings.hardwareFlowControl = (tio.c_cflag & CRTSCTS) != 0;
    settings.raw = (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0
                   && (tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0
                   && (tio.c_oflag & OPOST) == 0 && (tio.c_cflag & CSIZE) == CS8;
    return settings;
}

int ExpectedBaud(Phase phase)
{
    switch (phase) {
    case Phase::Sync:
    case Phase::Handshake:
    case Phase::LoaderSize:
    case Phase::LoaderBody:
        return BootBaud;
    case Phase::Command:
    case Phase::Header:
    case Phase::Blocks:
    case Phase::Checksum:
        return LoaderBaud;
    case Phase::Done:
    case Phase::Program:
        break;
    }
    return 0;
}

}  // namespace

const char *PhaseName(Phase phase)
{
    switch (phase) {
    case Phase::Sync: return "sync";
    case Phase::Handshake: return "handshake";
    case Phase::LoaderSize: return "loader size";
    case Phase::LoaderBody: return "loader body";
    case Phase::Command: return "command";
    case Phase::Header: return "header";
    case Phase::Blocks: return "blocks";
    case Phase::Checksum: return "checksum";
    case Phase::Done: return "done";
    case Phase::Program: return "program";
    }
    return "?";
}

TargetSim::TargetSim(BoardScript script) : script_(std::move(script))
{
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slavePath_ = name;
    struct termios tio {};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B9600);
    if (script_.wiring)
        tio.c_cflag |= HUPCL;  // a real adapter's lines drop at the last close
    ::tcsetattr(slave_, TCSANOW, &tio);
    if (script_.wiring) {
        state_ = BoardState::Program;
        lineSocket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        const socklen_t length = LineSocketAddress(slavePath_, address);
        if (lineSocket_ < 0 || ::bind(lineSocket_, reinterpret_cast<const sockaddr *>(&address), length) != 0)
            throw std::runtime_error("cannot listen for the line changes of " + slavePath_);
    }
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (script_.trace)
        trace_ = std::make_unique<BoardTrace>(script_.trace, Clock::now());
    if (script_.replyLatencyMs > 0)
        deliverer_ = std::thread([this] { RunDeliveries(); });
    thread_ = std::thread([this] { Run(); });
}

TargetSim::~TargetSim()
{
    Stop();
    for (int fd : {master_, slave_, stopPipe_[0], stopPipe_[1], lineSocket_})
        if (fd >= 0)
            ::close(fd);
}

void TargetSim::Stop()
{
    if (thread_.joinable()) {
        const char stop = 1;
        [[maybe_unused]] auto written = ::write(stopPipe_[1], &stop, 1);
        thread_.join();
    }
    StopDeliveries();
}

void TargetSim::Run()
{
    // Sleeps model the wire: ask the kernel for tight wake-ups.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    try {
        if (script_.echoOnly)
            EchoForever();
        for (;;) {
            try {
                // Out of boot mode, whatever comes is lost on a program
                // that does not listen, until the board enters it.
                if (state_ != BoardState::Boot) {
                    SetPhaseQuietly(Phase::Program);
                    for (;;)
                        Receive();
                }
                PlayWrite();
                EnterPhase(Phase::Done);
                // Record whatever else the host sends; a new sync starts the next
                // write when the board keeps serving.
                for (;;) {
                    if (Receive() == SyncByte && script_.keepServing)
                        break;
                }
            } catch (const Restarted &) {
            }
        }
    } catch (const Stopped &) {
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

void TargetSim::EchoForever()
{
    for (;;)
        Send(Receive());
}

void TargetSim::PlayWrite()
{
    {
        std::lock_guard lock(mutex_);
        write_ = WriteRecord{};
    }
    EnterPhase(Phase::Sync);
    for (int zeros = 0;;) {
        if (Receive() == SyncByte && script_.syncAfterZeros > 0 && ++zeros >= script_.syncAfterZeros)
            break;
    }
    if (script_.syncReplyDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(script_.syncReplyDelayMs));
    Send(script_.syncReply);

    // More 0x00 may come until the host has seen the answer; only 0x55 counts.
    EnterPhase(Phase::Handshake);
    for (std::uint8_t value; (value = Receive()) != HandshakeRequest;) {
        if (value == SyncByte && script_.answerEveryZero)
            Send(script_.syncReply);
    }
    if (script_.handshakeReply != 0xAA)
        return EndWith(script_.handshakeReply);
    Send(*script_.handshakeReply);

    EnterPhase(Phase::LoaderSize);
    const std::uint8_t high = Receive();
    if (script_.echoSize)
        Send(high);
    else
        SendReply(script_.sizeReply);
    const std::uint8_t low = Receive();
    if (script_.echoSize)
        Send(low);
    const int length = (high << 8) | low;
    {
        std::lock_guard lock(mutex_);
        write_.loaderLength = length;
    }
    EnterPhase(Phase::LoaderBody);
    for (int i = 1; i <= length; ++i) {
        const std::uint8_t value = Receive();
        {
            std::lock_guard lock(mutex_);
            write_.loader.push_back(value);
        }
        if (static_cast<std::size_t>(i) == script_.echoFaultAt)
            return EndWith(script_.echoFaultReply);
        Send(value);
    }
    if (script_.endMark != 0xAA)
        return EndWith(script_.endMark);
    Send(*script_.endMark);
    // From the moment the end mark went out, not from now: a board thread
    // slowed down after sending must not make the loader start late.
    loaderReadyAt_ = lastHandedOver_ + std::chrono::milliseconds(script_.loaderStartMs);
    SendReply(script_.loaderStartNoise);

    // The loader now runs, at 38400 baud.
    EnterPhase(Phase::Command);
    if (Receive() != CommandByte || Receive() != 0x00)
        return;
    if (script_.commandReply != 0x06)
        return EndWith(script_.commandReply);
    Send(*script_.commandReply);

    EnterPhase(Phase::Header);
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i)
        Receive();  // the zero field
    for (int i = 0; i < 4; ++i)
        size = (size << 8) | Receive();
    const std::size_t blocks = (size + BlockSize - 1) / BlockSize;
    {
        std::lock_guard lock(mutex_);
        write_.imageSize = size;
    }

    EnterPhase(Phase::Blocks);
    std::uint8_t sum = 0;
    std::vector<std::uint8_t> block;
    for (std::size_t request = 1; request <= blocks; ++request) {
        if (request == script_.requestFaultAt)
            return EndWith(script_.requestFaultReply);
        Send(BlockMark);
        if (Receive() != BlockMark)
            return;
        const std::size_t count = std::min<std::size_t>(BlockSize, size - (request - 1) * BlockSize);
        block.clear();
        for (std::size_t i = 0; i < count; ++i) {
            block.push_back(Receive());
            sum = static_cast<std::uint8_t>(sum + block.back());
        }
        std::lock_guard lock(mutex_);
        write_.image.insert(write_.image.end(), block.begin(), block.end());
    }

    EnterPhase(Phase::Checksum);
    if (blocks + 1 == script_.requestFaultAt)
        return EndWith(script_.requestFaultReply);
    Send(BlockMark);
    if (Receive() != BlockMark)
        return;
    const std::uint8_t checksum = Receive();
    const bool right = checksum == static_cast<std::uint8_t>(~sum);
    {
        std::lock_guard lock(mutex_);
        write_.checksum = checksum;
        write_.checksumRight = right;
    }
    const Reply reply = right ? script_.finalReply : script_.badChecksumReply;
    if (!right || reply != 0x06)
        return EndWith(reply);
    // Marked before the reply goes out: the host may act on the reply (and a
    // test read this record) before this thread runs again.
    {
        std::lock_guard lock(mutex_);
        write_.completed = true;
    }
    Send(*reply);
}

void TargetSim::SetPhaseQuietly(Phase phase)
{
    if (trace_)
        trace_->EnterPhase(phase);
    std::lock_guard lock(mutex_);
    phase_ = phase;
    changed_.notify_all();
}

bool TargetSim::TakeLineEvents()
{
    const BoardState before = state_;
    const int entriesBefore = bootEntries_;
    for (LineEvent event; ::recv(lineSocket_, &event, sizeof event, 0) == static_cast<ssize_t>(sizeof event);)
        ApplyLineEvent(event);
    return (state_ == BoardState::Boot) != (before == BoardState::Boot) || bootEntries_ != entriesBefore;
}

bool TargetSim::LeaveResetBy(std::int64_t nowNs)
{
    if (leavesResetAtNs_ == 0 || nowNs < leavesResetAtNs_)
        return false;
    std::lock_guard lock(mutex_);
    LeaveReset();
    return state_ == BoardState::Boot;
}

void TargetSim::LeaveReset()
{
    leavesResetAtNs_ = 0;
    if (modeBoot_ && missed_++ >= script_.wiring->missEntries) {
        state_ = BoardState::Boot;
        ++bootEntries_;
    } else {
        state_ = BoardState::Program;
    }
    changed_.notify_all();
}

void TargetSim::ApplyLineEvent(const LineEvent &event)
{
    const Pins pins = PinsOf(*script_.wiring, event.dtr != 0, event.rts != 0);
    std::lock_guard lock(mutex_);
    lineEvents_.push_back(event);
    // What came after the chip left reset finds it out of reset.
    if (leavesResetAtNs_ != 0 && event.atNs > leavesResetAtNs_)
        LeaveReset();
    if (pins.resetHeld) {
        if (state_ != BoardState::Reset || leavesResetAtNs_ != 0)
            resetSinceNs_ = event.atNs;
        state_ = BoardState::Reset;
        leavesResetAtNs_ = 0;
    } else if (state_ == BoardState::Reset) {
        modeBoot_ = pins.modeBoot;
        // A pulse too short for the reset circuit restarts nothing; a
        // release already under way keeps its time.
        if (leavesResetAtNs_ == 0) {
            if (event.atNs - resetSinceNs_ < std::int64_t{script_.wiring->resetMs} * 1'000'000) {
                state_ = BoardState::Program;
            } else {
                ++restarts_;
                leavesResetAtNs_ = event.atNs + std::int64_t{script_.wiring->sampleUs} * 1'000;
                if (script_.wiring->sampleUs == 0)
                    LeaveReset();
            }
        }
    }
    changed_.notify_all();
}

BoardState TargetSim::State() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

std::vector<LineEvent> TargetSim::LineEvents() const
{
    std::lock_guard lock(mutex_);
    return lineEvents_;
}

int TargetSim::BootEntries() const
{
    std::lock_guard lock(mutex_);
    return bootEntries_;
}

int TargetSim::Restarts() const
{
    std::lock_guard lock(mutex_);
    return restarts_;
}

std::optional<std::chrono::steady_clock::time_point> TargetSim::LastActivityAt() const
{
    auto last = LastReceivedAt();
    std::lock_guard lock(mutex_);
    if (!lineEvents_.empty()) {
        const Clock::time_point changed{std::chrono::nanoseconds(lineEvents_.back().atNs)};
        if (!last || changed > *last)
            last = changed;
    }
    return last;
}

void TargetSim::EnterPhase(Phase phase)
{
    if (trace_)
        trace_->EnterPhase(phase);
    std::lock_guard lock(mutex_);
    phase_ = phase;
    write_.reached = phase;
    changed_.notify_all();
}

std::uint8_t TargetSim::Receive()
{
    for (;;) {
        while (pendingAt_ == pending_.size()) {
            FlushBatch();
            struct pollfd fds[3] = {{master_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}, {lineSocket_, POLLIN, 0}};
            // A chip leaving reset wakes the board when it does.
            const int limitMs = leavesResetAtNs_ == 0 ? -1 : static_cast<int>(std::max<std::int64_t>(0, (leavesResetAtNs_ - MonotonicNs()) / 1'000'000 + 1));
            if (::poll(fds, 3, limitMs) < 0) {
                if (errno == EINTR)
                    continue;
                throw Stopped{};
            }
            if (fds[1].revents)
                throw Stopped{};
            // The lines first: bytes read after a restart belong to it.
            if (fds[2].revents && TakeLineEvents())
                throw Restarted{};
            if (LeaveResetBy(MonotonicNs()))
                throw Restarted{};
            if (!(fds[0].revents))
                continue;
            std::uint8_t buffer[4096];
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got <= 0) {
                if (got < 0 && (errno == EINTR || errno == EAGAIN))
                    continue;
                throw Stopped{};
            }
            const Clock::time_point now = Clock::now();
            chunkSettings_ = ReadSettings(slave_);
            if (trace_)
                trace_->Line(chunkSettings_);
            pending_.assign(buffer, buffer + got);
            pendingAt_ = 0;
            lastArrival_ = std::max(lastArrival_, now);
        }

        const std::uint8_t value = pending_[pendingAt_++];
        sentSinceReceive_ = false;
        if (script_.modelWireTime) {
            lastArrival_ += ByteTime(chunkSettings_.baud);
            // Light timing lets the byte arrive at once; the reply to it
            // waits for its modelled arrival instead (see Send).
            if (!script_.lightWireTime)
                SleepUntil(lastArrival_);
        }
        // A UART at another speed than the sender's sees framing errors, not
        // the byte: the board ignores it.
        const int expected = ExpectedBaud(phase_);
        const bool garbled = expected != 0 && chunkSettings_.baud != expected;
        const bool early = phase_ == Phase::Command && lastArrival_ < loaderReadyAt_;
        if (trace_)
            trace_->Received(value, garbled || early);
        std::size_t count = 0;
        {
            std::lock_guard lock(mutex_);
            // The phase's first byte tells how the host set the line for it.
            settingsSeen_.try_emplace(phase_, chunkSettings_);
            received_.push_back({value, phase_, Clock::now(), garbled, early});
            count = received_.size();
            changed_.notify_all();
        }
        if (script_.hangUpAfter != 0 && count >= script_.hangUpAfter)
            HangUp();
        if (!garbled && !early)
            return value;
    }
}

void TargetSim::HangUp()
{
    hungUp_ = true;
    std::lock_guard lock(sendMutex_);
    ::close(master_);
    master_ = -1;
    throw Stopped{};
}

void TargetSim::Send(std::uint8_t value)
{
    if (script_.modelWireTime) {
        lastSent_ = std::max({lastSent_, lastArrival_, Clock::now()}) + ByteTime(ReadSettings(slave_).baud);
        SleepUntil(lastSent_);
    } else if (sentSinceReceive_ && !script_.batchReplies) {
        std::this_thread::sleep_for(std::chrono::milliseconds(script_.replyGapMs));
    }
    sentSinceReceive_ = true;
    lastHandedOver_ = Clock::now();
    if (script_.batchReplies) {
        batch_.push_back(value);
        if (trace_)
            trace_->Sent(value);
        return;
    }
    if (trace_)
        trace_->Sent(value);
    Deliver(&value, 1);
}

void TargetSim::FlushBatch()
{
    if (batch_.empty())
        return;
    SendToHost(batch_);
    batch_.clear();
}

void TargetSim::SendReply(const Reply &reply)
{
    if (reply)
        Send(*reply);
}

void TargetSim::EndWith(const Reply &reply)
{
    SendReply(reply);
    std::lock_guard lock(mutex_);
    write_.endedSilent = !reply;
}

void TargetSim::SendToHost(const std::vector<std::uint8_t> &bytes)
{
    Deliver(bytes.data(), bytes.size());
}

void TargetSim::Deliver(const std::uint8_t *bytes, std::size_t count)
{
    if (script_.replyLatencyMs <= 0)
        return WriteToMaster(bytes, count);
    // One write stays one write: bytes the board sends in one go (its
    // packets) reach the host together, as they would through an adapter.
    std::lock_guard lock(deliveryMutex_);
    deliveries_.push_back({Clock::now() + std::chrono::milliseconds(script_.replyLatencyMs), {bytes, bytes + count}});
    deliveryChanged_.notify_all();
}

void TargetSim::WriteToMaster(const std::uint8_t *bytes, std::size_t count)
{
    std::lock_guard lock(sendMutex_);
    for (std::size_t done = 0; master_ >= 0 && done < count;) {
        const ssize_t written = ::write(master_, bytes + done, count - done);
        if (written <= 0)
            return;
        done += static_cast<std::size_t>(written);
    }
}

void TargetSim::RunDeliveries()
{
    // The latency is the same for every write, so the queue is in the
    // order the bytes are due.
    std::unique_lock lock(deliveryMutex_);
    for (;;) {
        if (deliveries_.empty()) {
            if (deliveriesEnd_)
                return;
            deliveryChanged_.wait(lock);
            continue;
        }
        const Clock::time_point due = deliveries_.front().due;
        if (Clock::now() < due) {
            deliveryChanged_.wait_until(lock, due);
            continue;
        }
        const std::vector<std::uint8_t> bytes = std::move(deliveries_.front().bytes);
        deliveries_.pop_front();
        lock.unlock();
        WriteToMaster(bytes.data(), bytes.size());
        lock.lock();
    }
}

void TargetSim::StopDeliveries()
{
    if (!deliverer_.joinable())
        return;
    {
        std::lock_guard lock(deliveryMutex_);
        deliveriesEnd_ = true;
        deliveryChanged_.notify_all();
    }
    deliverer_.join();
}

std::chrono::nanoseconds TargetSim::ByteTime(int baud)
{
    // Start bit, eight data bits, stop bit.
    return std::chrono::nanoseconds(baud > 0 ? 10'000'000'000LL / baud : 0);
}

void TargetSim::SleepUntil(Clock::time_point when) const
{
    if (script_.lightWireTime) {
        std::this_thread::sleep_until(when);
        return;
    }
    // Sleep most of the way, then spin: a plain sleep overshoots by tens of
    // microseconds, which over thousands of round trips would be the
    // simulator's error, not the host's.
    constexpr auto spin = std::chrono::microseconds(400);
    const auto now = Clock::now();
    if (when - now > spin) {
        const auto wake = when - spin;
        std::this_thread::sleep_until(wake);
    }
    while (Clock::now() < when) {
    }
}

std::vector<ReceivedByte> TargetSim::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::optional<Clock::time_point> TargetSim::LastReceivedAt() const
{
    std::lock_guard lock(mutex_);
    if (received_.empty())
        return std::nullopt;
    return received_.back().at;
}

std::vector<std::uint8_t> TargetSim::ReceivedValues() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> values;
    values.reserve(received_.size());
    for (const ReceivedByte &byte : received_)
        values.push_back(byte.value);
    return values;
}

std::map<Phase, LineSettings> TargetSim::SettingsSeen() const
{
    std::lock_guard lock(mutex_);
    return settingsSeen_;
}

LineSettings TargetSim::CurrentSettings() const
{
    return ReadSettings(slave_);
}

WriteRecord TargetSim::LastWrite() const
{
    std::lock_guard lock(mutex_);
    return write_;
}

bool TargetSim::WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= count || ended_; })
           && received_.size() >= count;
}

bool TargetSim::WaitForEnd(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_ || phase_ == Phase::Done; });
}

}  // namespace qw735::sim
