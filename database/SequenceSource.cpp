// SPDX-License-Identifier: GPL-2.0-or-later
#include "database/SequenceSource.h"

#include "database/Database.h"

#include <charconv>
#include <mutex>

namespace qw735 {

namespace {

// One connection shared by every board's thread: a take is one short
// statement, so the boards queue for it rather than each holding a
// connection of the server's.
class SequenceSource final : public SerialSource {
public:
    SequenceSource(DatabaseUrl url, Database database) : url_(std::move(url)), database_(std::move(database)) {}

    std::expected<std::uint64_t, SerialError> Take(const std::atomic<bool> *giveUp) override
    {
        const std::lock_guard lock(mutex_);
        return Value(Run("SELECT nextval($1::regclass)", giveUp));
    }

    std::expected<std::uint64_t, SerialError> Peek() const override
    {
        const std::lock_guard lock(mutex_);
        // What nextval would give now, if nobody takes first. The server
        // spells the name as a relation (quoted, with its schema if it needs
        // one): the sequence's own row has the value a restart set.
        const auto name = Run("SELECT $1::regclass::text", nullptr);
        if (!name || name->empty() || name->front().empty() || !name->front().front())
            return Value(name);
        return Value(Run("SELECT CASE WHEN s.is_called THEN s.last_value + p.seqincrement ELSE s.last_value END FROM " + *name->front().front()
                             + " s, pg_sequence p WHERE p.seqrelid = $1::regclass",
                         nullptr));
    }

    std::string Describe() const override { return url_.text; }

private:
    std::expected<std::vector<Database::Row>, DatabaseError> Run(const std::string &sql, const std::atomic<bool> *giveUp) const
    {
        const std::string params[] = {url_.sequence};
        // A connection lost since the last take is made again once.
        if (!database_.Connected()) {
            auto again = Database::Connect(url_, {}, giveUp);
            if (!again)
                return std::unexpected(again.error());
            database_ = std::move(*again);
        }
        return database_.Run(sql, params, giveUp);
    }

    static std::expected<std::uint64_t, SerialError> Value(const std::expected<std::vector<Database::Row>, DatabaseError> &rows)
    {
        if (!rows) {
            const auto kind = rows.error().kind == DatabaseError::Kind::GaveUp ? SerialError::Kind::Interrupted : SerialError::Kind::CannotOpen;
            return std::unexpected(SerialError{kind, rows.error().text});
        }
        std::uint64_t value = 0;
        const std::string text = rows->empty() || rows->front().empty() ? std::string() : rows->front().front().value_or("");
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size())
            return std::unexpected(SerialError{SerialError::Kind::BadContent, "the sequence gave no number this writer can use: " + text});
        return value;
    }

    DatabaseUrl url_;
    mutable std::mutex mutex_;
    mutable Database database_;
};

}  // namespace

std::expected<std::unique_ptr<SerialSource>, SerialError> OpenSequenceSource(const DatabaseUrl &url)
{
    if (url.sequence.empty())
        return std::unexpected(SerialError{SerialError::Kind::BadSource, "the database URL " + url.text + " names no sequence: add ?sequence=NAME"});
    auto database = Database::Connect(url);
    if (!database)
        return std::unexpected(SerialError{SerialError::Kind::CannotOpen, database.error().text});
    auto source = std::make_unique<SequenceSource>(url, std::move(*database));
    // A sequence that is not there stops the run now, not at the first board.
    if (const auto next = source->Peek(); !next)
        return std::unexpected(next.error());
    return source;
}

}  // namespace qw735
