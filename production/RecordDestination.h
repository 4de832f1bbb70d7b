// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "production/ProductionRecord.h"

#include <QByteArray>
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
    // whole or not at all.
    [[nodiscard]] virtual std::expected<void, RecordError> Keep(const QByteArray &record, const std::atomic<bool> &giveUp) = 0;
};

// The records appended to a file shared with other runs (see RecordFile).
class FileDestination final : public RecordDestination {
public:
    explicit FileDestination(RecordFile file) : file_(std::move(file)) {}
    [[nodiscard]] std::expected<void, RecordError> Keep(const QByteArray &record, const std::atomic<bool> &giveUp) override
    {
        return file_.Append(record, &giveUp);
    }

private:
    RecordFile file_;
};

}  // namespace qw735
