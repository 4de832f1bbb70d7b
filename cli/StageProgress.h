// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "writer/Feedback.h"

#include <string>

namespace qw735 {

// The progress of one board's write as the command line shows it, on a
// redrawn line or as plain lines: the stage under way, the share of its
// bytes sent, and a plain line at the first value in each tenth it reaches.
class StageProgress {
public:
    // A stage begins with its maximum; nothing of it is sent yet.
    void Begin(ProgressStage stage, float maximum);
    // Takes the bytes sent of the current stage; false when it changes
    // nothing shown: during the handshake, and for the 0 the image transfer
    // ends with (a finished stage stays full).
    bool Take(float value);

    ProgressStage Stage() const { return stage_; }
    float Maximum() const { return maximum_; }
    float Value() const { return value_; }
    // Whole percent sent, 0..100.
    int Percent() const { return Share(100); }
    // The stage's name, padded to `nameWidth`, a bar of `barWidth`, and the
    // percent: "loader [#########.....]  45%".
    std::string Gauge(int nameWidth, int barWidth) const;
    // At the first value in each tenth of a stage, its plain line,
    // "loader  30%\n"; otherwise nothing.
    std::string TenthLine();

private:
    // floor(whole x value / maximum), within 0..whole.
    int Share(int whole) const;

    ProgressStage stage_ = ProgressStage::Handshake;
    float maximum_ = 0;
    float value_ = 0;
    int lastTenth_ = -1;
};

// How the command line names a stage: "handshake", "loader", "image".
const char *StageName(ProgressStage stage);

}  // namespace qw735
