// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/WindowMain.h"

#include "base/StandardDescriptors.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

namespace qw735 {

namespace {

// The writer itself failed, as the command line's status says too.
constexpr int Failed = 70;

}  // namespace

bool HasGraphicalSession()
{
    for (const char *name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

int WindowMain(const char *program, const std::function<int()> &run)
{
    if (!OpenStandardDescriptors())
        return Failed;
    try {
        return run();
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", program);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s: %s\n", program, error.what());
    } catch (...) {
        std::fprintf(stderr, "%s: failed\n", program);
    }
    return Failed;
}

}  // namespace qw735
