// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/PortError.h"
#include "sequence/LineSequence.h"

#include <chrono>
#include <expected>
#include <vector>

namespace qw735 {

class Link;

// When each line change of a sequence took hold (a server had confirmed
// it), in order.
struct SequenceTimes {
    std::vector<std::chrono::steady_clock::time_point> changes;
};

// Runs `sequence` on the open link: each change in one call, each wait
// measured from the moment the change before it took hold, pumping events
// meanwhile. Ends at once when the link goes down (the port lost, the write
// abandoned: Ctrl-C during a wait), with why.
std::expected<SequenceTimes, PortError> RunSequence(Link &link, const LineSequence &sequence);

}  // namespace qw735
