// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/TerminalProgress.h"

#include "cli/PrintfText.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qw735 {

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

TerminalProgress::TerminalProgress(Console console, bool interactive) : console_(std::move(console)), interactive_(interactive) {}

TerminalProgress::~TerminalProgress()
{
    Finish();
}

void TerminalProgress::SetMaximum(ProgressStage stage, float maximum)
{
    // A stage's bar ends where the next stage begins.
    Finish();
    progress_.Begin(stage, maximum);
    stageStart_ = std::chrono::steady_clock::now();
}

void TerminalProgress::SetValue(float value)
{
    if (progress_.Take(value))
        Draw(progress_.Value() >= progress_.Maximum());
}

void TerminalProgress::SetRoundTrip(double ms)
{
    Finish();
    console_.Put(Console::Stream::Err, PrintfText("round trip %.1f ms\n", ms), Console::Kind::Progress);
}

void TerminalProgress::Draw(bool force)
{
    const auto now = std::chrono::steady_clock::now();
    if (!interactive_) {
        if (std::string line = progress_.TenthLine(); !line.empty())
            console_.Put(Console::Stream::Err, std::move(line), Console::Kind::Progress);
        return;
    }
    // Redrawing every byte would cost more than the write itself.
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - stageStart_).count();
    const double value = progress_.Value();
    const double rate = seconds > 0 ? value / seconds : 0;
    console_.Put(Console::Stream::Err,
                 PrintfText("\r%s  %7.0f/%.0f bytes  %6.0f B/s", progress_.Gauge(6, 30).c_str(), value, static_cast<double>(progress_.Maximum()), rate),
                 Console::Kind::Progress);
    barOpen_ = true;
}

void TerminalProgress::Finish()
{
    if (barOpen_) {
        console_.Put(Console::Stream::Err, "\n");
        barOpen_ = false;
    }
}

}  // namespace qw735
