// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/WriteRun.h"

#include "cli/ExitStatus.h"
#include "cli/GangProgress.h"
#include "cli/TerminalProgress.h"
#include "writer/ProductionRecord.h"

#include <QEventLoop>
#include <cstdio>
#include <optional>
#include <unistd.h>

namespace qw735 {

namespace {

void PrintLine(const QString &text)
{
    std::printf("%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

}  // namespace

WriteRun::WriteRun(WriteRunOptions options, BoardWrite write)
    : options_(std::move(options)), gang_(options_.ports, std::move(write))
{
    gang_.SetTrace(options_.trace);
    connect(&gang_, &GangWrite::BoardEnded, this, &WriteRun::OnBoardEnded);
}

int WriteRun::Run()
{
    const bool interactive = ::isatty(STDERR_FILENO) != 0;
    std::optional<TerminalProgress> single;
    std::optional<GangProgress> many;
    if (!options_.quiet && gang_.BoardCount() == 1) {
        single.emplace(stderr, interactive);
        connect(&gang_, &GangWrite::MaximumSet, this, [&](int, float maximum) { single->SetMaximum(maximum); });
        connect(&gang_, &GangWrite::ValueSet, this, [&](int, float value) { single->SetValue(value); });
    } else if (!options_.quiet) {
        many.emplace(stderr, interactive, gang_);
    }

    QEventLoop loop;
    connect(&gang_, &GangWrite::AllEnded, &loop, &QEventLoop::quit);
    gang_.Start();
    loop.exec();
    // Every board's progress came before its end: nothing more will arrive.
    disconnect(&gang_, &GangWrite::MaximumSet, this, nullptr);
    disconnect(&gang_, &GangWrite::ValueSet, this, nullptr);

    if (single)
        single->Finish();
    if (many)
        many->Finish();
    return gang_.BoardCount() == 1 ? ShowSingle() : ShowGang();
}

void WriteRun::Interrupt()
{
    interrupted_ = true;
    gang_.Cancel();
}

void WriteRun::OnBoardEnded(int board)
{
    if (!options_.records)
        return;
    const BoardOutcome &outcome = gang_.Outcome(board);
    const QByteArray record = RecordLine(*options_.program, outcome, ExitStatusOf(outcome.result.outcome));
    if (const auto appended = options_.records->Append(record); !appended)
        std::fprintf(stderr, "qw735-write: %s\n", qPrintable(appended.error()));
}

// As a single write always ended: the message as the last line on stdout.
int WriteRun::ShowSingle() const
{
    const BoardOutcome &outcome = gang_.Outcome(0);
    if (outcome.result.outcome == WriteOutcome::Abandoned)
        std::fprintf(stderr, "qw735-write: interrupted; the board is not fully written\n");
    else
        PrintLine(outcome.message);
    return ExitStatusOf(outcome.result.outcome);
}

// A line per board in the order given, then how many are done. The status
// is the first failing board's, so that the single write's table still
// tells what went wrong; an interrupted run ends as an interrupted write.
int WriteRun::ShowGang() const
{
    int ok = 0;
    int status = ExitOk;
    bool anyInterrupted = false;
    for (int board = 0; board < gang_.BoardCount(); ++board) {
        const BoardOutcome &outcome = gang_.Outcome(board);
        PrintLine(QStringLiteral("%1: %2").arg(outcome.described, outcome.message));
        const int boardStatus = ExitStatusOf(outcome.result.outcome);
        ok += boardStatus == ExitOk;
        anyInterrupted |= outcome.result.outcome == WriteOutcome::Abandoned;
        if (status == ExitOk)
            status = boardStatus;
    }
    PrintLine(QStringLiteral("%1 of %2 boards O.K.").arg(ok).arg(gang_.BoardCount()));
    return interrupted_ && anyInterrupted ? ExitInterrupted : status;
}

}  // namespace qw735
