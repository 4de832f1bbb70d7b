// SPDX-License-Identifier: GPL-2.0-or-later
#include "numbering/SerialSource.h"

#include "numbering/SerialFormat.h"

#include <array>
#include <utility>

namespace qw735 {

namespace {

constexpr std::array<std::pair<std::string_view, SerialSourceText::Kind>, 3> Schemes{{
    {"counter:", SerialSourceText::Kind::Counter},
    {"list:", SerialSourceText::Kind::List},
    {"postgresql://", SerialSourceText::Kind::Database},
}};

}  // namespace

std::string SerialSourceText::Text() const
{
    for (const auto &[scheme, named] : Schemes)
        if (named == kind)
            return std::string(scheme) + file;
    return file;
}

std::expected<SerialSourceText, SerialError> ParseSerialSource(std::string_view text)
{
    for (const auto &[scheme, kind] : Schemes) {
        if (!text.starts_with(scheme))
            continue;
        if (text.size() == scheme.size())
            return std::unexpected(SerialError{SerialError::Kind::BadSource,
                                               "the serial source '" + std::string(scheme) + "' names no file: give " + std::string(scheme) + "FILE"});
        return SerialSourceText{kind, std::string(text.substr(scheme.size()))};
    }
    return std::unexpected(SerialError{SerialError::Kind::BadSource, "unknown serial source '" + QuotedText(text) +
                                                                         "': the sources are counter:FILE, list:FILE and postgresql://HOST/DB?sequence=NAME"});
}

}  // namespace qw735
