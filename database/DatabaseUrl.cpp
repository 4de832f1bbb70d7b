// SPDX-License-Identifier: GPL-2.0-or-later
#include "database/DatabaseUrl.h"

#include "image/RecordText.h"

#include <algorithm>
#include <array>

namespace qw735 {

namespace {

constexpr std::string_view Scheme = "postgresql://";

// The query keys taken: libpq's TLS settings, and the numbering's sequence.
constexpr std::array<std::string_view, 4> LibpqSettings = {"sslmode", "sslrootcert", "sslcert", "sslkey"};

constexpr const char *PasswordAdvice =
    "holds a password, which would show to every user of the machine and in the records: leave it out and put it in ~/.pgpass "
    "(or the file PGPASSFILE names), or use a client certificate";

std::expected<DatabaseUrl, DatabaseError> Bad(std::string_view text, const std::string &why)
{
    return std::unexpected(DatabaseError{DatabaseError::Kind::BadUrl, "the database URL " + std::string(text) + " " + why});
}

// %XX decoded; false on a broken escape.
bool Decode(std::string_view in, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        const int high = i + 1 < in.size() ? HexDigitValue(in[i + 1]) : -1;
        const int low = i + 2 < in.size() ? HexDigitValue(in[i + 2]) : -1;
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

}  // namespace

bool IsDatabaseUrl(std::string_view text)
{
    return text.starts_with(Scheme);
}

std::expected<DatabaseUrl, DatabaseError> ParseDatabaseUrl(std::string_view text)
{
    if (!IsDatabaseUrl(text))
        return Bad(text, "does not start with postgresql://");
    DatabaseUrl url;
    url.text = std::string(text);
    std::string_view rest = text.substr(Scheme.size());
    std::string_view query;
    if (const auto mark = rest.find('?'); mark != std::string_view::npos) {
        query = rest.substr(mark + 1);
        rest = rest.substr(0, mark);
    }
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos || slash + 1 == rest.size())
        return Bad(text, "names no database: write postgresql://HOST[:PORT]/DB");
    std::string_view authority = rest.substr(0, slash);
    if (!Decode(rest.substr(slash + 1), url.database))
        return Bad(text, "has a broken %-escape");
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view user = authority.substr(0, at);
        // A password here would show in `ps` and in every record that names
        // the URL.
        if (const auto colon = user.find(':'); colon != std::string_view::npos)
            return Bad(std::string(text.substr(0, Scheme.size() + colon + 1)) + "***" + std::string(text.substr(Scheme.size() + at)),
                       PasswordAdvice);
        if (!Decode(user, url.user))
            return Bad(text, "has a broken %-escape");
        authority = authority.substr(at + 1);
    }
    // [v6]:port, or host:port
    std::string_view host = authority;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            return Bad(text, "has an unclosed [ in its host");
        host = authority.substr(1, close - 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':')
            url.port = std::string(authority.substr(close + 2));
    } else if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        url.port = std::string(authority.substr(colon + 1));
    }
    if (host.empty())
        return Bad(text, "names no host: write postgresql://HOST[:PORT]/DB");
    url.host = std::string(host);
    if (!url.port.empty()
        && (url.port.size() > 5 || !std::ranges::all_of(url.port, [](char c) { return c >= '0' && c <= '9'; }) || std::stoi(url.port) == 0
            || std::stoi(url.port) > 65535))
        return Bad(text, "has no port number (1..65535) after its ':'");
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty())
            continue;
        const auto equals = pair.find('=');
        const std::string key(pair.substr(0, equals));
        std::string value;
        if (equals == std::string_view::npos || !Decode(pair.substr(equals + 1), value))
            return Bad(text, "has " + key + " without a value");
        if (key == "password")
            return Bad(std::string(text.substr(0, text.find('?'))) + "?password=***", PasswordAdvice);
        if (key == "sequence")
            url.sequence = value;
        else if (std::ranges::find(LibpqSettings, key) != LibpqSettings.end())
            url.settings.emplace_back(key, value);
        else
            return Bad(text, "has " + key + ", which is not taken here: the settings taken are sslmode, sslrootcert, sslcert, sslkey "
                                         "and sequence");
    }
    return url;
}

}  // namespace qw735
