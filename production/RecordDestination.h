// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "production/ProductionRecord.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <expected>

namespace qw735 {

// Where a run's records are kept. The record keeper's thread is the only
// caller, one record at a time, so a destination may wait (for a lock, for
// a server) without holding up a board; it ends any wait as soon as
// `giveUp` is set.
class RecordDestination {
public:
    virtual ~RecordDestination() = default;

    // Keeps `record`, one JSON object on a line as RecordLine makes it,
    // whole or not at all. The value is what to tell the user of where it
    // went when that is not where it was meant to go (a record spooled),
    // empty when there is nothing to say.
    [[nodiscard]] virtual std::expected<QString, RecordError> Keep(const QByteArray &record, const std::atomic<bool> &giveUp) = 0;
};

// The records appended to a file shared with other runs (see RecordFile).
class FileDestination final : public RecordDestination {
public:
    explicit FileDestination(RecordFile file) : file_(std::move(file)) {}
    [[nodiscard]] std::expected<QString, RecordError> Keep(const QByteArray &record, const std::atomic<bool> &giveUp) override
    {
        if (auto appended = file_.Append(record, &giveUp); !appended)
            return std::unexpected(std::move(appended.error()));
        return QString();
    }

private:
    RecordFile file_;
};

}  // namespace qw735
