// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdio>
#include <string>

namespace qw735 {

// printf's formatting into a string, for lines that go to an output sink.
template <typename... Args>
std::string PrintfText(const char *format, Args... args)
{
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size > 0)
        std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

}  // namespace qw735
