// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/TerminalProgress.h"

#include "cli/PrintfText.h"
#include "base/OutputSink.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qw735 {

namespace {

const char *StageName(int stage)
{
    return stage == 1 ? "loader" : "image ";
}

}  // namespace

bool CanRedraw(std::FILE *out)
{
    const char *term = std::getenv("TERM");
    return ::isatty(::fileno(out)) != 0 && !(term && std::strcmp(term, "dumb") == 0);
}

int TerminalColumns(std::FILE *out)
{
    winsize size {};
    return ::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

TerminalProgress::TerminalProgress(OutputSink &out, bool interactive) : out_(out), interactive_(interactive) {}

TerminalProgress::~TerminalProgress()
{
    Finish();
}

void TerminalProgress::SetMaximum(ProgressStage, float maximum)
{
    // Each transfer sets its maximum once: a new maximum is the next stage,
    // even when the image is as long as the loader.
    Finish();
    maximum_ = maximum;
    ++stage_;
    lastTenth_ = -1;
    stageStart_ = std::chrono::steady_clock::now();
}

void TerminalProgress::SetValue(float value)
{
    // The image transfer ends by setting 0; a finished bar stays as it is.
    if (stage_ == 0 || value == 0)
        return;
    value_ = value;
    Draw(value_ >= maximum_);
}

void TerminalProgress::Draw(bool force)
{
    const double fraction = maximum_ > 0 ? std::clamp(value_ / maximum_, 0.0f, 1.0f) : 0.0;
    const auto now = std::chrono::steady_clock::now();
    if (!interactive_) {
        const int tenth = static_cast<int>(fraction * 10);
        if (tenth != lastTenth_) {
            lastTenth_ = tenth;
            out_.Put(OutputSink::Kind::Progress, PrintfText("%s %3d%%\n", StageName(stage_), tenth * 10));
        }
        return;
    }
    // Redrawing every byte would cost more than the write itself.
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - stageStart_).count();
    const double rate = seconds > 0 ? value_ / seconds : 0;
    constexpr int Width = 30;
    char bar[Width + 1];
    const int filled = static_cast<int>(fraction * Width);
    for (int i = 0; i < Width; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[Width] = '\0';
    out_.Put(OutputSink::Kind::Progress, PrintfText("\r%s [%s] %3d%%  %7.0f/%.0f bytes  %6.0f B/s", StageName(stage_), bar,
                                                   static_cast<int>(fraction * 100), static_cast<double>(value_),
                                                   static_cast<double>(maximum_), rate));
    barOpen_ = true;
}

void TerminalProgress::Finish()
{
    if (barOpen_) {
        out_.Put(OutputSink::Kind::Final, "\n");
        barOpen_ = false;
    }
    value_ = 0;
}

}  // namespace qw735
