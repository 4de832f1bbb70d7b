// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/GangProgress.h"

#include "cli/PrintfText.h"
#include "cli/TerminalProgress.h"
#include "production/GangWrite.h"

#include <algorithm>
#include <climits>

namespace qw735 {

namespace {

// Redrawing 32 lines at every block would cost more than the writes.
constexpr int RedrawMs = 200;

// `name` in at most `width` characters, its middle left out: the start and
// the end of /dev/serial/by-id/usb-..._A1B2C3-if00-port0 tell ports apart.
QString ShortenMiddle(const QString &name, int width)
{
    if (name.size() <= width)
        return name;
    if (width <= 3)
        return name.right(std::max(width, 0));
    const int head = (width - 3) / 2;
    return name.left(head) + QStringLiteral("...") + name.right(width - 3 - head);
}

}  // namespace

GangProgress::GangProgress(Console console, bool interactive, GangWrite &gang)
    : console_(std::move(console)), interactive_(interactive)
{
    for (int i = 0; i < gang.BoardCount(); ++i) {
        Board &board = boards_.emplace_back();
        board.name = gang.Outcome(i).described;
        nameWidth_ = std::max(nameWidth_, static_cast<int>(board.name.size()));
    }
    connect(&gang, &GangWrite::MaximumSet, this, &GangProgress::OnMaximum);
    connect(&gang, &GangWrite::ValueSet, this, &GangProgress::OnValue);
    connect(&gang, &GangWrite::RoundTripMeasured, this, &GangProgress::OnRoundTrip);
    if (interactive_) {
        connect(&redraw_, &QTimer::timeout, this, [this] {
            if (dirty_)
                Draw();
        });
        redraw_.start(RedrawMs);
        Draw(true);  // the first: every later one moves up over it
    }
}

void GangProgress::OnMaximum(int index, ProgressStage stage, float maximum)
{
    boards_[static_cast<std::size_t>(index)].progress.Begin(stage, maximum);
    dirty_ = true;
}

void GangProgress::OnValue(int index, float value)
{
    Board &board = boards_[static_cast<std::size_t>(index)];
    if (!board.progress.Take(value))
        return;
    dirty_ = true;
    if (interactive_)
        return;
    if (const std::string line = board.progress.TenthLine(); !line.empty())
        console_.Put(Console::Stream::Err, PrintfText("%-*s ", nameWidth_, qPrintable(board.name)) + line, Console::Kind::Progress);
}

// In a log, a line of its own; the live lines have no room for it.
void GangProgress::OnRoundTrip(int index, double ms)
{
    if (!interactive_) {
        const QString &name = boards_[static_cast<std::size_t>(index)].name;
        console_.Put(Console::Stream::Err, PrintfText("%-*s round trip %.1f ms\n", nameWidth_, qPrintable(name), ms), Console::Kind::Progress);
    }
}

void GangProgress::Ended(int index, const QString &message)
{
    Board &board = boards_[static_cast<std::size_t>(index)];
    board.ended = message;
    dirty_ = true;
    if (!interactive_) {
        console_.Put(Console::Stream::Err, PrintfText("%-*s ended: %s\n", nameWidth_, qPrintable(board.name), qPrintable(board.ended)));
    }
}

QString GangProgress::LiveLine(const Board &board, int columns) const
{
    // A board in its handshake has no bar yet: its line says so.
    const QString state = !board.ended.isEmpty() ? board.ended
                          : board.progress.Stage() == ProgressStage::Handshake
                              ? QString::fromLatin1(StageName(ProgressStage::Handshake))
                              : QString::fromStdString(board.progress.Gauge(9, 20));
    // A line that wraps takes two rows, and the redraw, which climbs one
    // row per board, would then climb too few: every line stays within the
    // terminal, the name giving way first. The last column stays free, as
    // some terminals wrap on writing it.
    const int room = columns > 0 ? columns - 1 : INT_MAX;
    const int nameWidth = std::min(nameWidth_, std::max(room - 2 - static_cast<int>(state.size()), 12));
    return (ShortenMiddle(board.name, nameWidth).leftJustified(nameWidth) + QStringLiteral("  ") + state).left(room);
}

void GangProgress::Draw(bool mustShow)
{
    dirty_ = false;
    // Back to the first board's line, then every line anew, all in one
    // piece: a redraw dropped is dropped whole.
    std::string text;
    if (drawn_)
        text += PrintfText("\x1b[%zuA", boards_.size());
    const int columns = TerminalColumns(stderr);
    for (const Board &board : boards_)
        text += "\r\x1b[K" + LiveLine(board, columns).toLocal8Bit().toStdString() + '\n';
    console_.Put(Console::Stream::Err, std::move(text), mustShow ? Console::Kind::Final : Console::Kind::Progress);
    drawn_ = true;
}

void GangProgress::Finish()
{
    if (interactive_) {
        redraw_.stop();
        Draw(true);
    }
}

}  // namespace qw735
