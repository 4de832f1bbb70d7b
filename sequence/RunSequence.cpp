// SPDX-License-Identifier: GPL-2.0-or-later
#include "sequence/RunSequence.h"

#include "link/Link.h"

namespace qw735 {

namespace {

std::unexpected<PortError> WhyDown(const Link &link)
{
    return std::unexpected(link.Loss().value_or(PortError{PortError::Kind::Interrupted, QStringLiteral("interrupted")}));
}

}  // namespace

std::expected<SequenceTimes, PortError> RunSequence(Link &link, const LineSequence &sequence)
{
    SequenceTimes times;
    for (const SequenceStep &step : sequence.steps) {
        if (link.IsDown())
            return WhyDown(link);
        if (step.IsWait()) {
            link.Delay(step.waitMs);
            continue;
        }
        if (auto changed = link.ChangeLines(step.change); !changed)
            return std::unexpected(changed.error());
        times.changes.push_back(std::chrono::steady_clock::now());
    }
    if (link.IsDown())
        return WhyDown(link);
    return times;
}

}  // namespace qw735
