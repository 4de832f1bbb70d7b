// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "cli/Console.h"
#include "cli/StageProgress.h"
#include "writer/Feedback.h"

#include <chrono>
#include <cstdio>

namespace qw735 {

// Whether `out` takes a redrawn display: a terminal that understands
// carriage returns and cursor movement (not TERM=dumb).
bool CanRedraw(std::FILE *out);
// The width of the terminal behind `out`; 0 when unknown.
int TerminalColumns(std::FILE *out);

// Progress on stderr: a redrawn bar with percent, bytes and rate on a
// terminal; otherwise (a log, a pipe) one plain line at about every 10%
// (a short stage moves in steps larger than a tenth).
class TerminalProgress : public ProgressDisplay {
public:
    // Lines go to `console`'s stderr: when it cannot keep up, redraws and
    // 10% lines are dropped rather than waited for.
    TerminalProgress(Console console, bool interactive);
    ~TerminalProgress() override;
    void SetMaximum(ProgressStage stage, float maximum) override;
    void SetValue(float value) override;
    // A line of its own, between the handshake and the loader's bar.
    void SetRoundTrip(double ms) override;
    // Ends the bar's line so that the next output starts on a fresh one.
    void Finish();

private:
    void Draw(bool force);

    Console console_;
    bool interactive_;
    StageProgress progress_;
    bool barOpen_ = false;
    std::chrono::steady_clock::time_point stageStart_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace qw735
