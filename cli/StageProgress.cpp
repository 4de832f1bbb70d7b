// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/StageProgress.h"

#include "cli/PrintfText.h"

#include <algorithm>
#include <utility>

namespace qw735 {

const char *StageName(ProgressStage stage)
{
    switch (stage) {
    case ProgressStage::Handshake: return "handshake";
    case ProgressStage::Loader: return "loader";
    case ProgressStage::Image: return "image";
    }
    std::unreachable();
}

void StageProgress::Begin(ProgressStage stage, float maximum)
{
    stage_ = stage;
    maximum_ = maximum;
    value_ = 0;
    lastTenth_ = -1;
}

bool StageProgress::Take(float value)
{
    if (stage_ == ProgressStage::Handshake || value == 0)
        return false;
    value_ = value;
    return true;
}

int StageProgress::Share(int whole) const
{
    // In double, multiplied first: the byte counts are whole numbers, and
    // the quotient lands on a whole number exactly when it is one, so no
    // rounding shows 11 of 25 bytes as 43%.
    if (maximum_ <= 0)
        return 0;
    return std::clamp(static_cast<int>(whole * static_cast<double>(value_) / maximum_), 0, whole);
}

std::string StageProgress::Gauge(int nameWidth, int barWidth) const
{
    const int filled = Share(barWidth);
    const std::string bar = std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(barWidth - filled), '.');
    return PrintfText("%-*s [%s] %3d%%", nameWidth, StageName(stage_), bar.c_str(), Percent());
}

std::string StageProgress::TenthLine()
{
    const int tenth = Share(10);
    if (tenth == lastTenth_)
        return {};
    lastTenth_ = tenth;
    return PrintfText("%-6s %3d%%\n", StageName(stage_), tenth * 10);
}

}  // namespace qw735
