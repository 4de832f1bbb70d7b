// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/OutputSink.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace qw735 {

namespace {

// Short beside what a reader notices, long beside the time between two
// trace lines.
constexpr std::chrono::milliseconds GatherTime{2};

}  // namespace

struct OutputSink::State {
    int fd = -1;
    UniqueFd owned;  // fd, when the sink closes it; closed with the last holder of this state
    std::size_t limit = DefaultLimit;
    std::function<bool(const std::string &)> write;  // instead of the descriptor
    bool threaded = false;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<Kind, std::string>> waiting;
    std::size_t waitingBytes = 0;
    bool writing = false;
    bool stop = false;
    std::uint64_t lostTrace = 0;
    std::uint64_t refused = 0;
    int error = 0;
    std::function<void()> drained;

    // Writes one line whole; false (and the error kept) when the
    // descriptor refuses it.
    bool WriteOut(const std::string &text)
    {
        if (write)
            return write(text);
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
            if (written > 0) {
                done += static_cast<std::size_t>(written);
                continue;
            }
            if (written < 0 && errno == EINTR)
                continue;
            // A descriptor someone else made non-blocking: wait for room
            // here, where waiting holds nobody back.
            if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd out{fd, POLLOUT, 0};
                ::poll(&out, 1, -1);
                continue;
            }
            const int failure = written < 0 ? errno : EIO;
            std::lock_guard lock(mutex);
            if (error == 0)
                error = failure;
            return false;
        }
        return true;
    }

    void Run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stop || !waiting.empty(); });
            if (waiting.empty())
                break;
            // Lines come in bursts (a trace line per byte on the wire):
            // gathering them a moment saves a wake-up and a write each.
            if (!stop && !write) {
                lock.unlock();
                std::this_thread::sleep_for(GatherTime);
                lock.lock();
            }
            // Everything that waits goes out in one write to a descriptor:
            // a trace line every few microseconds must not cost a system
            // call and a wake-up each. A write function takes each line on
            // its own.
            std::deque<std::pair<Kind, std::string>> taken;
            if (write) {
                taken.push_back(std::move(waiting.front()));
                waiting.pop_front();
            } else {
                taken.swap(waiting);
            }
            std::string text;
            std::uint64_t lines = 0, traceLines = 0;
            for (auto &[kind, line] : taken) {
                waitingBytes -= line.size();
                text += line;
                ++lines;
                traceLines += kind == Kind::Trace;
            }
            writing = true;
            lock.unlock();
            const bool written = WriteOut(text);
            lock.lock();
            writing = false;
            if (!written) {
                refused += lines;
                lostTrace += traceLines;
            }
            if (waiting.empty() && drained) {
                const auto callback = drained;
                lock.unlock();
                callback();
                lock.lock();
            }
        }
    }
};

OutputSink::OutputSink(int fd, std::size_t limit) : state_(std::make_shared<State>())
{
    state_->fd = fd;
    state_->limit = limit;
    Start();
}

OutputSink::OutputSink(UniqueFd fd, std::size_t limit) : state_(std::make_shared<State>())
{
    state_->fd = fd.Get();
    state_->owned = std::move(fd);
    state_->limit = limit;
    Start();
}

OutputSink::OutputSink(std::function<bool(const std::string &)> write) : state_(std::make_shared<State>())
{
    state_->write = std::move(write);
    Start();
}

void OutputSink::Start()
{
    try {
        std::thread([state = state_] { state->Run(); }).detach();
        state_->threaded = true;
    } catch (const std::system_error &) {
        // No thread to be had: lines go out from the caller, blocking it as
        // any program's output would.
    }
}

OutputSink::~OutputSink()
{
    if (!state_->threaded)
        return;
    std::lock_guard lock(state_->mutex);
    state_->waiting.clear();
    state_->waitingBytes = 0;
    state_->stop = true;
    state_->wake.notify_one();
}

void OutputSink::Put(Kind kind, std::string text)
{
    if (!state_->threaded) {
        if (!state_->WriteOut(text)) {
            std::lock_guard lock(state_->mutex);
            ++state_->refused;
            state_->lostTrace += kind == Kind::Trace;
        }
        return;
    }
    std::lock_guard lock(state_->mutex);
    if (kind != Kind::Final && state_->waitingBytes + text.size() > state_->limit) {
        state_->lostTrace += kind == Kind::Trace;
        return;
    }
    state_->waitingBytes += text.size();
    state_->waiting.emplace_back(kind, std::move(text));
    // Only the first line wakes the thread; it takes the others with it.
    if (state_->waiting.size() == 1)
        state_->wake.notify_one();
}

bool OutputSink::Drained() const
{
    std::lock_guard lock(state_->mutex);
    return state_->waiting.empty() && !state_->writing;
}

void OutputSink::OnDrained(std::function<void()> callback)
{
    std::lock_guard lock(state_->mutex);
    state_->drained = std::move(callback);
}

std::uint64_t OutputSink::LostTraceLines() const
{
    std::lock_guard lock(state_->mutex);
    return state_->lostTrace;
}

std::uint64_t OutputSink::Refused() const
{
    std::lock_guard lock(state_->mutex);
    return state_->refused;
}

int OutputSink::WriteError() const
{
    std::lock_guard lock(state_->mutex);
    return state_->error;
}

}  // namespace qw735
