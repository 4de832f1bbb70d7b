// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/RecordKeeper.h"

#include "base/OutputSink.h"

#include <atomic>

namespace qw735 {

struct RecordKeeper::State {
    State(std::unique_ptr<RecordDestination> d, Tell t) : destination(std::move(d)), tell(std::move(t)) {}

    std::unique_ptr<RecordDestination> destination;
    Tell tell;
    std::atomic<bool> giveUp = false;

    bool Keep(const std::string &record)
    {
        const auto kept = destination->Keep(QByteArray::fromStdString(record), giveUp);
        const QString said = kept ? *kept : kept.error().text;
        if (!said.isEmpty() && tell)
            tell(said, kept.has_value());
        return kept.has_value();
    }
};

RecordKeeper::RecordKeeper(std::unique_ptr<RecordDestination> destination, Tell tell)
    : state_(std::make_shared<State>(std::move(destination), std::move(tell))),
      records_(std::make_unique<OutputSink>([state = state_](const std::string &record) { return state->Keep(record); }))
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
