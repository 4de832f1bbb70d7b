// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/RecordKeeper.h"

#include "base/OutputSink.h"

#include <atomic>

namespace qw735 {

struct RecordKeeper::State {
    State(RecordFile f, Console c) : file(std::move(f)), console(std::move(c)) {}

    RecordFile file;
    Console console;
    std::atomic<bool> giveUp = false;

    bool Append(const std::string &record)
    {
        const auto appended = file.Append(QByteArray::fromStdString(record), &giveUp);
        if (!appended)
            console.Tell(appended.error().text);
        return appended.has_value();
    }
};

RecordKeeper::RecordKeeper(RecordFile file, Console console)
    : state_(std::make_shared<State>(std::move(file), std::move(console))),
      records_(std::make_unique<OutputSink>([state = state_](const std::string &record) { return state->Append(record); }))
{
}

RecordKeeper::~RecordKeeper()
{
    GiveUp();
}

void RecordKeeper::Put(const QByteArray &record)
{
    records_->Put(OutputSink::Kind::Final, record.toStdString());
}

void RecordKeeper::GiveUp()
{
    state_->giveUp = true;
}

bool RecordKeeper::Done() const
{
    return records_->Drained();
}

void RecordKeeper::OnDone(std::function<void()> callback)
{
    records_->OnDrained(std::move(callback));
}

int RecordKeeper::Lost() const
{
    return static_cast<int>(records_->Refused());
}

CaughtUpWatch::CaughtUpWatch(std::vector<OutputSink *> sinks, RecordKeeper *records, const std::function<void()> &caughtUp)
    : sinks_(std::move(sinks)), records_(records)
{
    for (OutputSink *sink : sinks_) {
        if (sink)
            sink->OnDrained(caughtUp);
    }
    if (records_)
        records_->OnDone(caughtUp);
}

CaughtUpWatch::~CaughtUpWatch()
{
    for (OutputSink *sink : sinks_) {
        if (sink)
            sink->OnDrained({});
    }
    if (records_)
        records_->OnDone({});
}

}  // namespace qw735
