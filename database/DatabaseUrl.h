// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "database/DatabaseError.h"

#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qw735 {

// A database as the user names it:
//   postgresql://[USER@]HOST[:PORT]/DB[?sslmode=...&sslrootcert=...&sslcert=...&sslkey=...&sequence=NAME]
// No password: it would show in `ps` and wherever the URL is written down;
// libpq finds it in ~/.pgpass or the file PGPASSFILE names, or the station
// proves itself by its client certificate.
struct DatabaseUrl {
    std::string text;  // as given
    std::string host;
    std::string port;  // empty: libpq's default
    std::string database;
    std::string user;  // empty: libpq's default (the login name)
    // libpq's own settings, as given in the query: sslmode, sslrootcert,
    // sslcert, sslkey.
    std::vector<std::pair<std::string, std::string>> settings;
    std::string sequence;  // ?sequence=NAME, for the numbering
};

// Whether `text` names a database rather than a file.
bool IsDatabaseUrl(std::string_view text);

// Error kind BadUrl, its text saying what to write instead.
[[nodiscard]] std::expected<DatabaseUrl, DatabaseError> ParseDatabaseUrl(std::string_view text);

}  // namespace qw735
