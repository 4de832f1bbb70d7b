// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "database/Database.h"
#include "database/DatabaseUrl.h"
#include "production/RecordDestination.h"

#include <QByteArray>
#include <QString>
#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace qw735 {

// The records that could not be sent to the database yet: JSON Lines files
// in a folder of the user's state ($XDG_STATE_HOME/qw735/spool, by default
// ~/.local/state/qw735/spool). New records are appended to records.jsonl
// under its lock; a replay first renames it (sending-PID-TIME.jsonl), so
// that records spooled meanwhile go to a new file, then sends each line and
// puts back those not sent before it removes the renamed file. A replay cut
// short leaves its file to the next one: a record may be sent twice, which
// its write id makes harmless, but none is lost.
class RecordSpool {
public:
    explicit RecordSpool(QString folder) : folder_(std::move(folder)) {}
    static QString DefaultFolder();
    // records.jsonl, as messages name it.
    QString File() const;

    [[nodiscard]] std::expected<void, RecordError> Add(const QByteArray &line) const;

    // What a sent line came to: sent (or there already), kept for later
    // (the server refused it: kept in the spool), or the sending stopped
    // (the server went away: this line and the rest stay).
    enum class Sent { Yes, Kept, Stop };
    struct Replayed {
        int sent = 0;
        int kept = 0;
    };
    // Lines are handed to `send` in batches of up to BatchSize, which says
    // what became of each.
    static constexpr std::size_t BatchSize = 500;
    using SendBatch = std::function<std::vector<Sent>(std::span<const QByteArray> lines)>;
    [[nodiscard]] std::expected<Replayed, RecordError> Replay(const SendBatch &send) const;

private:
    QString folder_;
};

// The records of a run as rows of the line's database, sent by the record
// keeper's thread; a record the server cannot take now is spooled, and said
// so. Each record gets the station's host name and a write id of its own
// (a random UUID) before it is sent or spooled: sending it again adds no
// second row.
class DatabaseRecords final : public RecordDestination {
public:
    // The wait after a server could not be reached or was too slow, before
    // it is tried again: meanwhile the records go straight to the spool, so
    // that the end of a run never waits a bound for each board.
    static constexpr std::chrono::seconds RetryAfter{10};

    // `database`: connected, or not when the server could not be reached
    // (then it is tried again with the first record).
    DatabaseRecords(DatabaseUrl url, std::optional<Database> database, RecordSpool spool, QString station);

    [[nodiscard]] std::expected<QString, RecordError> Keep(const QByteArray &record, const std::atomic<bool> &giveUp) override;

private:
    // The spool's records first, as the server takes them.
    std::expected<void, RecordError> SendSpool(const std::atomic<bool> &giveUp);
    std::expected<void, DatabaseError> Insert(const QByteArray &line, const std::atomic<bool> &giveUp);
    std::expected<QString, RecordError> Spool(const QByteArray &line, const QString &why);

    DatabaseUrl url_;
    std::optional<Database> database_;
    RecordSpool spool_;
    QString station_;
    std::chrono::steady_clock::time_point retryAt_{};
    bool spoolDue_ = true;
    bool serverSaid_ = false;  // the spooling because of an absent server is told once
};

// The table, its indexes and the numbering sequence, each made if missing:
// the statements --init-database runs, in order.
std::vector<std::string> InitStatements(const std::string &sequence);

// Opens the records' destination for the database `url`: refused (the text
// for a usage error) when the URL is not one this writer takes or the
// server turns the station away; a server out of reach leaves the records
// to the spool. `note` is what to tell when the run starts so.
[[nodiscard]] std::expected<std::unique_ptr<DatabaseRecords>, QString> OpenDatabaseRecords(const QString &url, QString &note);

}  // namespace qw735

namespace qw735 {

// Makes the table, its indexes and the sequence (the URL's, or the default)
// where they are missing; safe to run again.
[[nodiscard]] std::expected<void, DatabaseError> InitDatabase(const QString &url);

// What --send-records came to: the records sent (or found there already),
// those that stay in the spool and why the last one stayed.
struct SpoolSent {
    int sent = 0;
    int kept = 0;
    QString why;
};
// Sends the spool's records. Error kinds BadUrl and Refused (nothing was
// tried), or RecordError's text when the spool itself cannot be written.
[[nodiscard]] std::expected<SpoolSent, DatabaseError> SendSpooledRecords(const QString &url, const RecordSpool &spool);

}  // namespace qw735
