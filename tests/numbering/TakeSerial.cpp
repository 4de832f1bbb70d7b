// SPDX-License-Identifier: GPL-2.0-or-later
// qw735-take-serial SOURCE COUNT: takes COUNT values from SOURCE (0: until
// killed), printing each on a line of its own as soon as it is taken, in
// one write, so that a test that kills it knows every value it was given.
#include "numbering/SerialSources.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: qw735-take-serial SOURCE COUNT\n", stderr);
        return 64;
    }
    const auto text = qw735::ParseSerialSource(argv[1]);
    auto source = text ? qw735::OpenSerialSource(*text) : std::unexpected(text.error());
    if (!source) {
        std::fprintf(stderr, "%s\n", source.error().text.c_str());
        return 1;
    }
    const long count = std::strtol(argv[2], nullptr, 10);
    for (long taken = 0; count == 0 || taken < count; ++taken) {
        const auto value = (*source)->Take();
        if (!value) {
            std::fprintf(stderr, "%s\n", value.error().text.c_str());
            return 1;
        }
        const std::string line = std::to_string(*value) + "\n";
        if (::write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return 1;
    }
    return 0;
}
