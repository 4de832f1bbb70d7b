// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "database/DatabaseError.h"
#include "database/DatabaseUrl.h"

#include <atomic>
#include <chrono>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct pg_conn;

namespace qw735 {

// How long the database may keep a station waiting. A record or a number
// waits no longer than these for a server that is slow (a lock held) or
// gone quiet (a stalled network); then the record is spooled, the number
// refused.
struct DatabaseLimits {
    // Reaching the server: TCP, TLS and the password together.
    std::chrono::milliseconds connect{3000};
    // The server gives up on a lock held by someone else after this...
    std::chrono::milliseconds lock{1000};
    // ...and on any statement after this...
    std::chrono::milliseconds statement{2000};
    // ...and the station on the server's answer after this (a network
    // that stalls takes the server's own limits with it).
    std::chrono::milliseconds answer{4000};
};

// One connection, through libpq, that never waits longer than its limits
// and ends a wait as soon as `giveUp` is set. Used by one thread at a time.
class Database {
public:
    using Row = std::vector<std::optional<std::string>>;

    // Error kinds Unreachable (no server reached, or it went away before
    // taking the station), Refused (it turned the station away: password,
    // certificate, no such database), TimedOut, GaveUp.
    [[nodiscard]] static std::expected<Database, DatabaseError> Connect(const DatabaseUrl &url, const DatabaseLimits &limits = {},
                                                                        const std::atomic<bool> *giveUp = nullptr);
    Database(Database &&) noexcept;
    Database &operator=(Database &&) noexcept;
    ~Database();

    // Runs one statement with `params` ($1, $2, ... as text) and returns
    // its rows. Kinds Rejected (the server's error, the connection kept),
    // Unreachable (the connection lost), TimedOut and GaveUp (the
    // connection dropped: its state is not known).
    [[nodiscard]] std::expected<std::vector<Row>, DatabaseError> Run(const std::string &sql, std::span<const std::string> params = {},
                                                                     const std::atomic<bool> *giveUp = nullptr);
    bool Connected() const { return connection_ != nullptr; }
    // As messages name it.
    const std::string &Shown() const { return shown_; }

private:
    Database(pg_conn *connection, std::string shown, DatabaseLimits limits);
    void Drop();

    pg_conn *connection_ = nullptr;
    std::string shown_;
    DatabaseLimits limits_;
};

}  // namespace qw735
