// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <functional>

namespace qw735 {

class Slot;

// Tries once whether a remote slot's server takes a connection. A remote
// slot has no plug event: the watcher asks this every few seconds while it
// waits for a board there (and, once a board was written, for it to go),
// never two at a time for one slot, and never while the slot's board is
// being written (the server serves one connection). Whether a board answers
// behind the server is the write's business, not the probe's.
class ServerProbe {
public:
    virtual ~ServerProbe() = default;
    // Starts the try and returns; calls `done` once, on the calling thread,
    // with whether the server accepted. The watcher may be gone by then:
    // `done` checks that itself.
    virtual void Try(const Slot &slot, std::function<void(bool accepted)> done) = 0;
};

}  // namespace qw735
