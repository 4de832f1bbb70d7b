// SPDX-License-Identifier: GPL-2.0-or-later
#include "database/Database.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <poll.h>

namespace qw735 {

namespace {

using Clock = std::chrono::steady_clock;

// A wait is cut into slices this long, so that giving up ends it soon.
constexpr std::chrono::milliseconds Slice{50};

std::string Trimmed(const char *text)
{
    std::string message = text ? text : "";
    // libpq's messages may run over several lines, indented: one line each
    // here.
    std::string line;
    for (const char c : message) {
        const bool blank = c == '\n' || c == '\t' || c == ' ';
        if (blank && (line.empty() || line.back() == ' '))
            continue;
        line += blank ? ' ' : c;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

enum class Ready { Yes, TimedOut, GaveUp, Failed };

// Waits until the connection's socket is ready for `events`, for the time
// left until `deadline`.
Ready WaitForSocket(int socket, short events, Clock::time_point deadline, const std::atomic<bool> *giveUp)
{
    while (true) {
        if (giveUp && giveUp->load())
            return Ready::GaveUp;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return Ready::TimedOut;
        pollfd fd{socket, events, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(std::min(left, Slice).count()));
        if (ready > 0)
            return Ready::Yes;
        if (ready < 0 && errno != EINTR)
            return Ready::Failed;
    }
}

}  // namespace

Database::Database(pg_conn *connection, std::string shown, DatabaseLimits limits)
    : connection_(connection), shown_(std::move(shown)), limits_(limits)
{
}

Database::Database(Database &&other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)), shown_(std::move(other.shown_)), limits_(other.limits_)
{
}

Database &Database::operator=(Database &&other) noexcept
{
    if (this != &other) {
        Drop();
        connection_ = std::exchange(other.connection_, nullptr);
        shown_ = std::move(other.shown_);
        limits_ = other.limits_;
    }
    return *this;
}

Database::~Database()
{
    Drop();
}

void Database::Drop()
{
    if (connection_)
        PQfinish(connection_);
    connection_ = nullptr;
}

std::expected<Database, DatabaseError> Database::Connect(const DatabaseUrl &url, const DatabaseLimits &limits, const std::atomic<bool> *giveUp)
{
    // The server ends what it cannot do within the limits itself, so that a
    // statement the station stopped waiting for does not go through later.
    const std::string options = "-c client_min_messages=warning -c lock_timeout=" + std::to_string(limits.lock.count()) + " -c statement_timeout="
                                + std::to_string(limits.statement.count());
    // libpq's own bound, in whole seconds, behind the station's.
    const std::string connectTimeout = std::to_string(std::max<long long>(2, (limits.connect.count() + 999) / 1000));
    std::vector<const char *> keys = {"host", "dbname", "application_name", "options", "connect_timeout"};
    std::vector<const char *> values = {url.host.c_str(), url.database.c_str(), "qw735", options.c_str(), connectTimeout.c_str()};
    if (!url.port.empty()) {
        keys.push_back("port");
        values.push_back(url.port.c_str());
    }
    if (!url.user.empty()) {
        keys.push_back("user");
        values.push_back(url.user.c_str());
    }
    for (const auto &[key, value] : url.settings) {
        keys.push_back(key.c_str());
        values.push_back(value.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);

    const std::string shown = "the database " + url.text;
    pg_conn *connection = PQconnectStartParams(keys.data(), values.data(), 0);
    if (!connection)
        return std::unexpected(DatabaseError{DatabaseError::Kind::Unreachable, "cannot reach " + shown + ": out of memory"});
    Database database(connection, shown, limits);
    const auto deadline = Clock::now() + limits.connect;
    // Once the server took the connection, a failure is its refusal of the
    // station (a password, a certificate), not a server out of reach.
    bool reached = false;
    PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
    while (PQstatus(connection) != CONNECTION_BAD) {
        if (polling == PGRES_POLLING_OK) {
            PQsetnonblocking(connection, 1);
            return database;
        }
        const ConnStatusType status = PQstatus(connection);
        reached = reached || (status != CONNECTION_STARTED && status != CONNECTION_NEEDED);
        const Ready ready = WaitForSocket(PQsocket(connection), polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline, giveUp);
        if (ready == Ready::GaveUp)
            return std::unexpected(DatabaseError{DatabaseError::Kind::GaveUp, "gave up reaching " + shown + ": the run ended"});
        if (ready == Ready::TimedOut)
            return std::unexpected(DatabaseError{DatabaseError::Kind::TimedOut,
                                                 "cannot reach " + shown + ": no answer within " + std::to_string(limits.connect.count()) + " ms"});
        polling = PQconnectPoll(connection);
        if (polling == PGRES_POLLING_FAILED)
            break;
    }
    const std::string why = Trimmed(PQerrorMessage(connection));
    if (reached)
        return std::unexpected(DatabaseError{DatabaseError::Kind::Refused, shown + " refused the station: " + why});
    return std::unexpected(DatabaseError{DatabaseError::Kind::Unreachable, "cannot reach " + shown + ": " + why});
}

std::expected<std::vector<Database::Row>, DatabaseError> Database::Run(const std::string &sql, std::span<const std::string> params,
                                                                       const std::atomic<bool> *giveUp)
{
    if (!connection_)
        return std::unexpected(DatabaseError{DatabaseError::Kind::Unreachable, "lost the connection to " + shown_});
    std::vector<const char *> values;
    for (const std::string &param : params)
        values.push_back(param.c_str());
    const auto lost = [this](DatabaseError::Kind kind, const std::string &why) {
        // Whatever the server does with the statement now, the station no
        // longer hears of it.
        Drop();
        return std::unexpected(DatabaseError{kind, why});
    };
    if (!PQsendQueryParams(connection_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0))
        return lost(DatabaseError::Kind::Unreachable, "lost the connection to " + shown_ + ": " + Trimmed(PQerrorMessage(connection_)));
    const auto deadline = Clock::now() + limits_.answer;
    const auto wait = [&](short events) -> std::expected<void, DatabaseError> {
        switch (WaitForSocket(PQsocket(connection_), events, deadline, giveUp)) {
        case Ready::Yes: return {};
        case Ready::GaveUp: return lost(DatabaseError::Kind::GaveUp, "gave up waiting for " + shown_ + ": the run ended");
        case Ready::TimedOut:
            return lost(DatabaseError::Kind::TimedOut, shown_ + " did not answer within " + std::to_string(limits_.answer.count()) + " ms");
        case Ready::Failed: return lost(DatabaseError::Kind::Unreachable, "lost the connection to " + shown_);
        }
        std::unreachable();
    };
    // The statement out, however slowly the network takes it.
    while (true) {
        const int flushed = PQflush(connection_);
        if (flushed == 0)
            break;
        if (flushed < 0)
            return lost(DatabaseError::Kind::Unreachable, "lost the connection to " + shown_ + ": " + Trimmed(PQerrorMessage(connection_)));
        if (auto ready = wait(POLLIN | POLLOUT); !ready)
            return std::unexpected(ready.error());
        if (!PQconsumeInput(connection_))
            return lost(DatabaseError::Kind::Unreachable, "lost the connection to " + shown_ + ": " + Trimmed(PQerrorMessage(connection_)));
    }
    std::vector<Row> rows;
    std::optional<DatabaseError> failed;
    while (true) {
        while (PQisBusy(connection_)) {
            if (auto ready = wait(POLLIN); !ready)
                return std::unexpected(ready.error());
            if (!PQconsumeInput(connection_))
                return lost(DatabaseError::Kind::Unreachable, "lost the connection to " + shown_ + ": " + Trimmed(PQerrorMessage(connection_)));
        }
        PGresult *result = PQgetResult(connection_);
        if (!result)
            break;
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_TUPLES_OK) {
            for (int row = 0; row < PQntuples(result); ++row) {
                Row &values = rows.emplace_back();
                for (int column = 0; column < PQnfields(result); ++column)
                    values.push_back(PQgetisnull(result, row, column) ? std::nullopt
                                                                      : std::optional<std::string>(PQgetvalue(result, row, column)));
            }
        } else if (status != PGRES_COMMAND_OK && !failed) {
            const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            // 55P03: the lock was not granted in time; 57014: the statement
            // ran out of time. Both are the server's limits, not a refusal.
            const std::string code = state ? state : "";
            const bool timedOut = code == "55P03" || code == "57014";
            // The server's own sentence; its details may hold the whole row.
            const char *primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
            failed = DatabaseError{timedOut ? DatabaseError::Kind::TimedOut : DatabaseError::Kind::Rejected,
                                   shown_ + (timedOut ? " was too slow: " : " refused it: ") + Trimmed(primary ? primary : PQresultErrorMessage(result))};
        }
        PQclear(result);
    }
    if (PQstatus(connection_) == CONNECTION_BAD)
        return lost(DatabaseError::Kind::Unreachable, "lost the connection to " + shown_ + ": " + Trimmed(PQerrorMessage(connection_)));
    if (failed)
        return std::unexpected(*failed);
    return rows;
}

}  // namespace qw735
