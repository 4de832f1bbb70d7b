// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/GangProgress.h"

#include "production/GangWrite.h"

#include <algorithm>

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

}  // namespace

GangProgress::GangProgress(std::FILE *out, bool interactive, GangWrite &gang)
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
        Draw();
    }
}

void GangProgress::OnMaximum(int index, float maximum)
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
        std::fprintf(out_, "%-*s %-6s %3d%%\n", nameWidth_, qPrintable(board.name), StageName(board.stage), tenth * 10);
        std::fflush(out_);
    }
}

void GangProgress::Ended(int index, const QString &message)
{
    Board &board = boards_[static_cast<std::size_t>(index)];
    board.ended = message;
    dirty_ = true;
    if (!interactive_) {
        std::fprintf(out_, "%-*s ended: %s\n", nameWidth_, qPrintable(board.name), qPrintable(board.ended));
        std::fflush(out_);
    }
}

int GangProgress::Percent(const Board &board) const
{
    return board.maximum > 0 ? static_cast<int>(std::clamp(board.value / board.maximum, 0.0f, 1.0f) * 100) : 0;
}

QString GangProgress::LiveLine(const Board &board) const
{
    const QString name = board.name.leftJustified(nameWidth_);
    if (!board.ended.isEmpty())
        return QStringLiteral("%1  %2").arg(name, board.ended);
    if (board.stage == 0)
        return QStringLiteral("%1  %2").arg(name, QLatin1String(StageName(0)));
    constexpr int Width = 20;
    const int percent = Percent(board);
    const int filled = percent * Width / 100;
    return QStringLiteral("%1  %2 [%3%4] %5%")
        .arg(name, QString::fromLatin1(StageName(board.stage)).leftJustified(9))
        .arg(QString(filled, u'#'), QString(Width - filled, u'.'))
        .arg(percent, 3);
}

void GangProgress::Draw()
{
    dirty_ = false;
    // Back to the first board's line, then every line anew.
    if (drawn_)
        std::fprintf(out_, "\x1b[%zuA", boards_.size());
    for (const Board &board : boards_)
        std::fprintf(out_, "\r\x1b[K%s\n", qPrintable(LiveLine(board)));
    std::fflush(out_);
    drawn_ = true;
}

void GangProgress::Finish()
{
    if (interactive_) {
        redraw_.stop();
        Draw();
    }
}

}  // namespace qw735
