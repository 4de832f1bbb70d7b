// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/OutputSink.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace qw735 {

struct OutputSink::State {
    int fd = -1;
    bool owned = false;
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
            auto [kind, text] = std::move(waiting.front());
            waiting.pop_front();
            waitingBytes -= text.size();
            writing = true;
            lock.unlock();
            const bool written = WriteOut(text);
            lock.lock();
            writing = false;
            refused += !written;
            lostTrace += !written && kind == Kind::Trace;
            if (waiting.empty() && drained) {
                const auto callback = drained;
                lock.unlock();
                callback();
                lock.lock();
            }
        }
        if (owned)
            ::close(fd);
    }
};

OutputSink::OutputSink(int fd, bool owned, std::size_t limit) : state_(std::make_shared<State>())
{
    state_->fd = fd;
    state_->owned = owned;
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
    if (!state_->threaded) {
        if (state_->owned)
            ::close(state_->fd);
        return;
    }
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
