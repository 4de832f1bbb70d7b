// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/WriteRun.h"

#include "base/EndingSignals.h"
#include "base/OutputSink.h"
#include "production/ExitStatus.h"
#include "cli/GangProgress.h"
#include "cli/Hints.h"
#include "cli/OutputFiles.h"
#include "cli/TerminalProgress.h"
#include "production/ProductionRecord.h"
#include "production/RecordKeeper.h"
#include "trace/WireTrace.h"

#include <QEventLoop>
#include <QScopeGuard>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace qw735 {

namespace {

// How long the last words may take once a signal has ended the writes: a
// stalled stderr must not keep the process from ending by it.
constexpr int LastWordsMs = 300;

}  // namespace

WriteRun::WriteRun(WriteRunOptions options)
    : options_(std::move(options)), console_(options_.boards.outputs->out, options_.boards.outputs->err),
      gang_(options_.ports, options_.boards.tls, *options_.boards.input, options_.boards.write)
{
    RunOutputs &outputs = *options_.boards.outputs;
    gang_.SetTrace(outputs.trace.get());
    if (outputs.records)
        records_ = std::make_unique<RecordKeeper>(std::move(outputs.records),
                                                  [console = console_](const QString &text, bool) { console.Tell(text); });
    connect(&gang_, &GangWrite::BoardEnded, this, &WriteRun::OnBoardEnded);
}

WriteRun::~WriteRun() = default;

int WriteRun::Run()
{
    RunOutputs &outputs = *options_.boards.outputs;
    const bool inPlace = CanRedraw(stderr);
    std::optional<TerminalProgress> single;
    std::optional<GangProgress> many;
    if (!options_.boards.quiet && gang_.BoardCount() == 1) {
        single.emplace(console_, inPlace);
        connect(&gang_, &GangWrite::MaximumSet, this, [&](int, ProgressStage stage, float maximum) { single->SetMaximum(stage, maximum); });
        connect(&gang_, &GangWrite::ValueSet, this, [&](int, float value) { single->SetValue(value); });
        connect(&gang_, &GangWrite::RoundTripMeasured, this, [&](int, double ms) { single->SetRoundTrip(ms); });
        connect(&gang_, &GangWrite::AttemptStarted, this, [&](int, int attempt, int tries) { single->SetAttempt(attempt, tries); });
    } else if (!options_.boards.quiet) {
        many_ = &many.emplace(console_, inPlace, gang_);
    }
    const auto quiet = qScopeGuard([this] {
        disconnect(&gang_, &GangWrite::MaximumSet, this, nullptr);
        disconnect(&gang_, &GangWrite::ValueSet, this, nullptr);
        disconnect(&gang_, &GangWrite::RoundTripMeasured, this, nullptr);
        disconnect(&gang_, &GangWrite::AttemptStarted, this, nullptr);
        many_ = nullptr;
    });

    // Every output and the records say when they have caught up.
    OutputSink *trace = outputs.trace ? &outputs.trace->Sink() : nullptr;
    const CaughtUpWatch watch({outputs.out.get(), outputs.err.get(), trace}, records_.get(), [this] { emit CaughtUp(); });

    // Held to the very end: the last output may wait for its reader, and a
    // signal must end that wait too.
    EndingSignals ending;
    connect(&ending, &EndingSignals::Received, this, [this, &ending] {
        endedBy_ = ending.Caught();
        gang_.Cancel();
        if (records_)
            records_->GiveUp();
    });
    {
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
    ShowLatencyNotes();

    // The records and the trace are complete before the status is told.
    const auto kept = [&] {
        return (!records_ || records_->Done()) && (!outputs.recordsToStdout || outputs.out->Drained()) && (!trace || trace->Drained());
    };
    if (endedBy_ == 0)
        WaitFor(ending, kept);
    if (endedBy_ != 0 && records_) {
        records_->GiveUp();
        WaitFor(ending, [&] { return records_->Done(); }, LastWordsMs);
    }

    std::exception_ptr failure;
    QStringList hints;
    int status = gang_.BoardCount() == 1 ? ShowSingle(failure, hints) : ShowGang(failure, hints);
    // Said once the results are out: on a terminal the hints read after them.
    if (endedBy_ == 0 && !hints.isEmpty())
        WaitFor(ending, [&] { return outputs.out->Drained(); });
    for (const QString &hint : hints)
        console_.Tell(hint);
    // Lost records or trace lines say so by a status of their own, only
    // when every board went well: a board's own status always wins.
    if (ShowLosses() && status == ExitOk && !failure)
        status = ExitOutputLost;

    const auto shown = [&] { return outputs.out->Drained() && outputs.err->Drained(); };
    if (endedBy_ == 0)
        WaitFor(ending, shown);
    if (endedBy_ != 0) {
        WaitFor(ending, shown, LastWordsMs);
        EndingSignals::EndBy(endedBy_);
    }
    if (failure)
        std::rethrow_exception(failure);
    return status;
}

bool WriteRun::WaitFor(EndingSignals &ending, const std::function<bool()> &done, int limitMs)
{
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &WriteRun::CaughtUp, &loop, &QEventLoop::quit);
    connect(&ending, &EndingSignals::Received, &loop, &QEventLoop::quit);
    if (limitMs >= 0)
        limit.start(limitMs);
    while (!done()) {
        // Without a limit, a signal ends the wait; with one, only the limit.
        if (limitMs < 0 ? ending.Caught() != 0 : !limit.isActive())
            return false;
        loop.exec();
    }
    return true;
}

void WriteRun::OnBoardEnded(int board)
{
    const BoardOutcome &outcome = gang_.Outcome(board);
    if (many_)
        many_->Ended(board, MessageOf(outcome));
    if (records_)
        records_->Put(RecordLine(*options_.boards.program, outcome, MessageOf(outcome), StatusOf(outcome)));
    else if (options_.boards.outputs->recordsToStdout)
        console_.Put(Console::Stream::Out, RecordLine(*options_.boards.program, outcome, MessageOf(outcome), StatusOf(outcome)).toStdString());
}

Console::Stream WriteRun::Results() const
{
    return options_.boards.outputs->recordsToStdout ? Console::Stream::Err : Console::Stream::Out;
}

void WriteRun::ShowLatencyNotes() const
{
    for (int board = 0; board < gang_.BoardCount(); ++board) {
        const BoardOutcome &outcome = gang_.Outcome(board);
        if (!outcome.latencyNote.isEmpty())
            console_.Tell(QStringLiteral("%1: %2").arg(outcome.described, outcome.latencyNote));
    }
}

bool WriteRun::ShowLosses() const
{
    bool lost = records_ && records_->Lost() > 0;
    const RunOutputs &outputs = *options_.boards.outputs;
    if (const std::uint64_t records = outputs.out->Refused(); outputs.recordsToStdout && records > 0) {
        console_.Tell(QStringLiteral("%1 could not be written to stdout: %2")
                .arg(records == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(records),
                     QString::fromLocal8Bit(std::strerror(outputs.out->WriteError()))));
        lost = true;
    }
    if (!outputs.trace)
        return lost;
    const OutputSink &trace = outputs.trace->Sink();
    const std::uint64_t lines = trace.LostTraceLines();
    if (const int error = trace.WriteError(); error != 0) {
        console_.Tell(QStringLiteral("the trace could not be written to %1: %2; %3 lines lost")
                .arg(outputs.traceName, QString::fromLocal8Bit(std::strerror(error)))
                .arg(lines));
        lost = true;
    } else if (lines > 0) {
        console_.Tell(QStringLiteral("%1 lines of the trace were lost: %2 could not take them as fast as the boards went")
                .arg(lines)
                .arg(outputs.traceName));
        lost = true;
    }
    return lost;
}

QString EndedBy(int signal)
{
    return QStringLiteral("ended by %1").arg(QLatin1String(EndingSignals::Name(signal)));
}

QString WriteRun::MessageOf(const BoardOutcome &outcome) const
{
    return BoardMessage(outcome, EndedBy(endedBy_));
}

int WriteRun::StatusOf(const BoardOutcome &outcome) const
{
    return BoardStatus(outcome, endedBy_);
}

// One board: the message as the last line on stdout, where scripts read it,
// or on stderr what ended it. A write that threw has its record by now, and
// its failure is passed on, as a gang's is.
int WriteRun::ShowSingle(std::exception_ptr &failure, QStringList &hints) const
{
    const BoardOutcome &outcome = gang_.Outcome(0);
    if (outcome.failure) {
        failure = outcome.failure;
        return ExitInternal;
    }
    if (outcome.result.outcome == WriteOutcome::Abandoned && !outcome.opened)
        console_.Tell(QStringLiteral("ended by %1 while opening %2; nothing was sent")
                .arg(QLatin1String(EndingSignals::Name(endedBy_)), outcome.described));
    else if (outcome.result.outcome == WriteOutcome::Abandoned)
        console_.Tell(QStringLiteral("ended by %1; the board is not fully written").arg(QLatin1String(EndingSignals::Name(endedBy_))));
    else
        console_.Line(Results(), outcome.result.message);
    if (NamesNoPort(outcome.result))
        hints << ExistingPortsHint();
    if (const QString lines = LinesHint(outcome.result); !lines.isEmpty())
        hints << lines;
    if (const QString check = OutcomeHint(outcome.result.outcome); !check.isEmpty())
        hints << check;
    return ExitStatusOf(outcome.result.outcome);
}

// A line per board in the order given, then how many are done. The status
// is the first failing board's, so that the single write's table still
// tells what went wrong. A board whose write threw has its line too, and
// then its failure is passed on. What to check is said once per kind of
// ending, with the boards that ended so.
int WriteRun::ShowGang(std::exception_ptr &failure, QStringList &hints) const
{
    int ok = 0;
    int status = ExitOk;
    std::string lines;
    for (int board = 0; board < gang_.BoardCount(); ++board) {
        const BoardOutcome &outcome = gang_.Outcome(board);
        lines += QStringLiteral("%1: %2\n").arg(outcome.described, MessageOf(outcome)).toLocal8Bit().toStdString();
        const int boardStatus = StatusOf(outcome);
        ok += boardStatus == ExitOk;
        if (status == ExitOk)
            status = boardStatus;
        if (!failure)
            failure = outcome.failure;
    }
    lines += QStringLiteral("%1 of %2 boards O.K.\n").arg(ok).arg(gang_.BoardCount()).toLocal8Bit().toStdString();
    console_.Put(Results(), std::move(lines));
    for (int board = 0; board < gang_.BoardCount(); ++board) {
        if (NamesNoPort(gang_.Outcome(board).result)) {
            hints << ExistingPortsHint();
            break;
        }
    }
    for (int board = 0; board < gang_.BoardCount(); ++board) {
        if (const QString lines = LinesHint(gang_.Outcome(board).result); !lines.isEmpty()) {
            hints << lines;
            break;
        }
    }
    struct Kind {
        WriteOutcome outcome;
        QString message;
        QStringList boards;
    };
    std::vector<Kind> kinds;  // in the order first seen
    for (int board = 0; board < gang_.BoardCount(); ++board) {
        const BoardOutcome &outcome = gang_.Outcome(board);
        if (outcome.failure || OutcomeHint(outcome.result.outcome).isEmpty())
            continue;
        auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const Kind &k) { return k.outcome == outcome.result.outcome; });
        if (kind == kinds.end())
            kind = kinds.insert(kinds.end(), {outcome.result.outcome, outcome.result.message.trimmed(), {}});
        kind->boards << outcome.described;
    }
    for (const Kind &kind : kinds)
        hints << QStringLiteral("%1 on %2: %3").arg(kind.message, kind.boards.join(QStringLiteral(", ")), OutcomeHint(kind.outcome));
    return status;
}

}  // namespace qw735
