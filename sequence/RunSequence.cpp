// SPDX-License-Identifier: GPL-2.0-or-later
#include "sequence/RunSequence.h"

#include "link/Link.h"

namespace qw735 {

namespace {

std::unexpected<PortError> WhyDown(const Link &link)
{
    return std::unexpected(link.Loss().value_or(PortError{PortError::Kind::Interrupted, QStringLiteral("interrupted")}));
}

bool Down(const Link &link)
{
    return link.Abandoned() || link.Loss();
}

}  // namespace

std::expected<SequenceTimes, PortError> RunSequence(Link &link, const LineSequence &sequence)
{
    SequenceTimes times;
    for (const SequenceStep &step : sequence.steps) {
        if (Down(link))
            return WhyDown(link);
        if (step.IsWait()) {
            if (link.Delay(step.waitMs) == WaitEnd::Down)
                return WhyDown(link);
            continue;
        }
        if (auto changed = link.ChangeLines(step.change); !changed)
            return std::unexpected(changed.error());
        times.changes.push_back(std::chrono::steady_clock::now());
    }
    if (Down(link))
        return WhyDown(link);
    return times;
}

}  // namespace qw735
