// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/GangProgress.h"

#include "base/OutputSink.h"
#include "cli/PrintfText.h"
#include "cli/TerminalProgress.h"
#include "production/GangWrite.h"

#include <algorithm>
#include <climits>

namespace qw735 {

namespace {

const char *StageName(int stage)
{
    switch (stage) {
    case 0: return "handshake";
    case 1: return "loader";
    default: return "image";
    }
}

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

GangProgress::GangProgress(OutputSink &out, bool interactive, GangWrite &gang)
    : out_(out), interactive_(interactive)
{
    for (int i = 0; i < gang.BoardCount(); ++i) {
        Board &board = boards_.emplace_back();
        board.name = gang.Outcome(i).described;
        nameWidth_ = std::max(nameWidth_, static_cast<int>(board.name.size()));
    }
    connect(&gang, &GangWrite::MaximumSet, this, &GangProgress::OnMaximum);
    connect(&gang, &GangWrite::ValueSet, this, &GangProgress::OnValue);
    if (interactive_) {
        connect(&redraw_, &QTimer::timeout, this, [this] {
            if (dirty_)
                Draw();
        });
        redraw_.start(RedrawMs);
        Draw(true);  // the first: every later one moves up over it
    }
}

void GangProgress::OnMaximum(int index, ProgressStage, float maximum)
{
    Board &board = boards_[static_cast<std::size_t>(index)];
    board.stage = std::min(board.stage + 1, 2);
    board.maximum = maximum;
    board.value = 0;
    board.lastTenth = -1;
    dirty_ = true;
}

void GangProgress::OnValue(int index, float value)
{
    Board &board = boards_[static_cast<std::size_t>(index)];
    // The image transfer ends by setting 0; a finished stage stays full.
    if (board.stage == 0 || value == 0)
        return;
    board.value = value;
    dirty_ = true;
    if (interactive_)
        return;
    const int tenth = Percent(board) / 10;
    if (tenth != board.lastTenth) {
        board.lastTenth = tenth;
        out_.Put(OutputSink::Kind::Progress,
                 PrintfText("%-*s %-6s %3d%%\n", nameWidth_, qPrintable(board.name), StageName(board.stage), tenth * 10));
    }
}

void GangProgress::Ended(int index, const QString &message)
{
    Board &board = boards_[static_cast<std::size_t>(index)];
    board.ended = message;
    dirty_ = true;
    if (!interactive_) {
        out_.Put(OutputSink::Kind::Final, PrintfText("%-*s ended: %s\n", nameWidth_, qPrintable(board.name), qPrintable(board.ended)));
    }
}

int GangProgress::Percent(const Board &board) const
{
    return board.maximum > 0 ? static_cast<int>(std::clamp(board.value / board.maximum, 0.0f, 1.0f) * 100) : 0;
}

QString GangProgress::LiveLine(const Board &board, int columns) const
{
    QString state;
    if (!board.ended.isEmpty() || board.stage == 0) {
        state = board.ended.isEmpty() ? QString::fromLatin1(StageName(0)) : board.ended;
    } else {
        constexpr int Width = 20;
        const int percent = Percent(board);
        const int filled = percent * Width / 100;
        state = QStringLiteral("%1 [%2%3] %4%")
                    .arg(QString::fromLatin1(StageName(board.stage)).leftJustified(9), QString(filled, u'#'), QString(Width - filled, u'.'))
                    .arg(percent, 3);
    }
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
    // piece: a redraw dropped is dropped whole. The sink writes to stderr.
    std::string text;
    if (drawn_)
        text += PrintfText("\x1b[%zuA", boards_.size());
    const int columns = TerminalColumns(stderr);
    for (const Board &board : boards_)
        text += "\r\x1b[K" + LiveLine(board, columns).toLocal8Bit().toStdString() + '\n';
    out_.Put(mustShow ? OutputSink::Kind::Final : OutputSink::Kind::Progress, std::move(text));
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
