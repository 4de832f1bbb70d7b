// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/WriteRun.h"

#include "cli/Advice.h"
#include "cli/ExitStatus.h"
#include "cli/GangProgress.h"
#include "cli/TerminalProgress.h"
#include "link/ProcessGuards.h"
#include "writer/ProductionRecord.h"

#include <QEventLoop>
#include <QScopeGuard>
#include <cstdio>
#include <optional>
#include <unistd.h>

namespace qw735 {

void PrintLine(const QString &text)
{
    std::printf("%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

WriteRun::WriteRun(WriteRunOptions options, BoardWrite write)
    : options_(std::move(options)), gang_(options_.ports, std::move(write))
{
    gang_.SetTrace(options_.trace);
    connect(&gang_, &GangWrite::BoardEnded, this, &WriteRun::OnBoardEnded);
}

int WriteRun::Run()
{
    const bool interactive = CanRedraw(stderr);
    std::optional<TerminalProgress> single;
    std::optional<GangProgress> many;
    if (!options_.quiet && gang_.BoardCount() == 1) {
        single.emplace(stderr, interactive);
        connect(&gang_, &GangWrite::MaximumSet, this, [&](int, float maximum) { single->SetMaximum(maximum); });
        connect(&gang_, &GangWrite::ValueSet, this, [&](int, float value) { single->SetValue(value); });
    } else if (!options_.quiet) {
        many_ = &many.emplace(stderr, interactive, gang_);
    }
    const auto quiet = qScopeGuard([this] {
        disconnect(&gang_, &GangWrite::MaximumSet, this, nullptr);
        disconnect(&gang_, &GangWrite::ValueSet, this, nullptr);
        many_ = nullptr;
    });

    {
        EndingSignals ending;
        connect(&ending, &EndingSignals::Received, this, [this, &ending] {
            endedBy_ = ending.Caught();
            gang_.Cancel();
        });
        QEventLoop loop;
        connect(&gang_, &GangWrite::AllEnded, &loop, &QEventLoop::quit);
        gang_.Start();
        // Every board's progress came before its end: nothing more arrives.
        if (gang_.Running())
            loop.exec();
        // A signal that came as the last board ended still ends the process.
        endedBy_ = ending.Caught();
    }

    if (single)
        single->Finish();
    if (many)
        many->Finish();
    const int status = gang_.BoardCount() == 1 ? ShowSingle() : ShowGang();
    if (endedBy_ != 0)
        EndingSignals::EndBy(endedBy_);
    return status;
}

void WriteRun::OnBoardEnded(int board)
{
    const BoardOutcome &outcome = gang_.Outcome(board);
    if (many_)
        many_->Ended(board, MessageOf(outcome));
    if (!options_.records)
        return;
    const QByteArray record = RecordLine(*options_.program, outcome, MessageOf(outcome), StatusOf(outcome));
    if (const auto appended = options_.records->Append(record); !appended)
        std::fprintf(stderr, "qw735-write: %s\n", qPrintable(appended.error()));
}

QString WriteRun::MessageOf(const BoardOutcome &outcome) const
{
    if (outcome.failure)
        return QStringLiteral("the writer failed; the board is not fully written");
    if (outcome.result.outcome != WriteOutcome::Abandoned)
        return outcome.result.message;
    return QStringLiteral("ended by %1 %2; %3")
        .arg(QLatin1String(EndingSignals::Name(endedBy_)), outcome.stoppedAt,
             outcome.bytesSent == 0 ? QStringLiteral("nothing was sent") : QStringLiteral("the board is not fully written"));
}

// As the shell will see the process end.
int WriteRun::StatusOf(const BoardOutcome &outcome) const
{
    if (outcome.failure)
        return ExitInternal;
    if (outcome.result.outcome == WriteOutcome::Abandoned && endedBy_ != 0)
        return 128 + endedBy_;
    return ExitStatusOf(outcome.result.outcome);
}

// As a single write always ended: the message as the last line on stdout,
// or on stderr what ended it.
int WriteRun::ShowSingle() const
{
    const BoardOutcome &outcome = gang_.Outcome(0);
    if (outcome.result.outcome == WriteOutcome::Abandoned && !outcome.opened)
        std::fprintf(stderr, "qw735-write: ended by %s while opening %s; nothing was sent\n", EndingSignals::Name(endedBy_),
                     qPrintable(outcome.described));
    else if (outcome.result.outcome == WriteOutcome::Abandoned)
        std::fprintf(stderr, "qw735-write: ended by %s; the board is not fully written\n", EndingSignals::Name(endedBy_));
    else
        PrintLine(outcome.result.message);
    if (NamesNoPort(outcome.result))
        std::fprintf(stderr, "qw735-write: %s\n", qPrintable(ExistingPortsHint()));
    return ExitStatusOf(outcome.result.outcome);
}

// A line per board in the order given, then how many are done. The status
// is the first failing board's, so that the single write's table still
// tells what went wrong. A board whose write threw has its line too, and
// then its failure is passed on.
int WriteRun::ShowGang() const
{
    int ok = 0;
    int status = ExitOk;
    std::exception_ptr failure;
    for (int board = 0; board < gang_.BoardCount(); ++board) {
        const BoardOutcome &outcome = gang_.Outcome(board);
        PrintLine(QStringLiteral("%1: %2").arg(outcome.described, MessageOf(outcome)));
        const int boardStatus = StatusOf(outcome);
        ok += boardStatus == ExitOk;
        if (status == ExitOk)
            status = boardStatus;
        if (!failure)
            failure = outcome.failure;
    }
    PrintLine(QStringLiteral("%1 of %2 boards O.K.").arg(ok).arg(gang_.BoardCount()));
    for (int board = 0; board < gang_.BoardCount(); ++board) {
        if (NamesNoPort(gang_.Outcome(board).result)) {
            std::fprintf(stderr, "qw735-write: %s\n", qPrintable(ExistingPortsHint()));
            break;
        }
    }
    if (failure)
        std::rethrow_exception(failure);
    return status;
}

}  // namespace qw735
