// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/RecordKeeper.h"

#include "link/OutputSink.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace qw735 {

struct RecordKeeper::State {
    explicit State(RecordFile f, std::shared_ptr<OutputSink> e) : file(std::move(f)), errors(std::move(e)) {}

    RecordFile file;
    std::shared_ptr<OutputSink> errors;
    std::atomic<bool> giveUp = false;
    bool threaded = false;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<QByteArray> waiting;
    bool writing = false;
    bool stop = false;
    int lost = 0;
    std::function<void()> done;

    void Append(const QByteArray &record)
    {
        if (const auto appended = file.Append(record, &giveUp); !appended) {
            errors->Put(OutputSink::Kind::Final, "qw735-write: " + appended.error().toLocal8Bit().toStdString() + '\n');
            std::lock_guard lock(mutex);
            ++lost;
        }
    }

    void Run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stop || !waiting.empty(); });
            if (waiting.empty())
                return;
            const QByteArray record = std::move(waiting.front());
            waiting.pop_front();
            writing = true;
            lock.unlock();
            Append(record);
            lock.lock();
            writing = false;
            if (waiting.empty() && done) {
                const auto callback = done;
                lock.unlock();
                callback();
                lock.lock();
            }
        }
    }
};

RecordKeeper::RecordKeeper(RecordFile file, std::shared_ptr<OutputSink> errors)
    : state_(std::make_shared<State>(std::move(file), std::move(errors)))
{
    try {
        std::thread([state = state_] { state->Run(); }).detach();
        state_->threaded = true;
    } catch (const std::system_error &) {
        // Records are then appended by the caller.
    }
}

RecordKeeper::~RecordKeeper()
{
    GiveUp();
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
    state_->wake.notify_one();
}

void RecordKeeper::Put(QByteArray record)
{
    if (!state_->threaded) {
        state_->Append(record);
        return;
    }
    std::lock_guard lock(state_->mutex);
    state_->waiting.push_back(std::move(record));
    state_->wake.notify_one();
}

void RecordKeeper::GiveUp()
{
    state_->giveUp = true;
}

bool RecordKeeper::Done() const
{
    std::lock_guard lock(state_->mutex);
    return state_->waiting.empty() && !state_->writing;
}

void RecordKeeper::OnDone(std::function<void()> callback)
{
    std::lock_guard lock(state_->mutex);
    state_->done = std::move(callback);
}

int RecordKeeper::Lost() const
{
    std::lock_guard lock(state_->mutex);
    return state_->lost;
}

}  // namespace qw735
