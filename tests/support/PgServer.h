// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace qw735::test {

// The server's programs are not installed: a test that needs them skips,
// saying this text.
struct PgMissing : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A PostgreSQL server of the test's own: a cluster made by initdb in a
// temporary folder, served by pg_ctl on 127.0.0.1 and a free port (and a
// socket in that folder), stopped and removed with this object. Run as root
// (as CI runs), the cluster belongs to nobody and the server runs as nobody:
// initdb refuses root. Its superuser is "qw735"; the database "line" is made.
class PgServer {
public:
    struct Options {
        // Clients over TCP give this password (scram-sha-256); empty: trusted.
        std::string password;
        // The server's certificate and key (PEM); set: TLS on, and clients
        // over TCP must use it.
        std::string tlsCert, tlsKey;
    };

    // Throws PgMissing without initdb and pg_ctl, std::runtime_error with
    // the server's own words when it does not come up.
    PgServer();
    explicit PgServer(Options options);
    ~PgServer();
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // "postgresql://qw735@127.0.0.1:PORT/line"
    std::string Url() const;
    int Port() const { return port_; }

    // Stops the server at once (as a crash would) or starts it again on the
    // same port and data.
    void Stop();
    void Start();

    // Runs `sql` with psql in "line" as the superuser, over the socket;
    // returns what it printed, unaligned, tuples only (fields split by '|').
    // Throws std::runtime_error with psql's words when it fails.
    std::string Query(const std::string &sql) const;

    // The folder of initdb and pg_ctl; empty when they are not installed.
    static std::string BinDir();

private:
    std::string Run(const std::string &program, const std::string &args, bool asOwner) const;

    std::string bin_;
    std::string dir_;  // the cluster and its socket
    int port_ = 0;
    Options options_;
    bool running_ = false;
};

}  // namespace qw735::test

// The server, made for each test, or the test skipped when its programs
// are missing (CI installs them, so there it runs).
#define QW735_PG_SERVER(name, ...)                                     \
    std::optional<PgServer> name##Held;                                \
    try {                                                              \
        name##Held.emplace(__VA_ARGS__);                               \
    } catch (const PgMissing &missing) {                               \
        GTEST_SKIP() << missing.what();                                \
    }                                                                  \
    PgServer &name = *name##Held

