// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/AutoWriteRun.h"

#include "base/EndingSignals.h"
#include "base/OutputSink.h"
#include "production/ExitStatus.h"
#include "cli/OutputFiles.h"
#include "cli/WriteRun.h"
#include "production/ProductionRecord.h"
#include "production/RecordKeeper.h"
#include "trace/WireTrace.h"

#include <QEventLoop>
#include <QScopeGuard>
#include <QTime>
#include <QTimer>

namespace qw735 {

namespace {

// How long the last words may take once a second signal has stopped the
// writes: a stalled stderr must not keep the process from ending by it.
constexpr int LastWordsMs = 300;

const char *Why(Refusal why)
{
    switch (why) {
    case Refusal::SlotTaken: return "the slot has a board already";
    case Refusal::OnAnotherSlot: return "it is on another slot,";
    case Refusal::Renumbered: return "it came onto the slot because another adapter went, not because it was plugged";
    }
    std::unreachable();
}

}  // namespace

AutoWriteRun::AutoWriteRun(AutoWriteRunOptions options)
    : options_(std::move(options)),
      console_(options_.boards.outputs->out, options_.boards.outputs->err),
      run_(options_.slotList, options_.settings, options_.boards.tls, *options_.boards.input, options_.boards.write),
      tallies_(options_.slotList.size())
{
    RunOutputs &outputs = *options_.boards.outputs;
    run_.SetTrace(outputs.trace.get());
    if (outputs.records)
        records_ = std::make_unique<RecordKeeper>(std::move(outputs.records),
                                                  [console = console_](const QString &text, bool) { console.Tell(text); });
    connect(&run_, &AutoRun::BoardStarted, this, &AutoWriteRun::OnStarted);
    connect(&run_, &AutoRun::BoardEnded, this, &AutoWriteRun::OnEnded);
    connect(&run_, &AutoRun::Refused, this, &AutoWriteRun::OnRefused);
    connect(&run_, &AutoRun::WatchFailed, this, [this](const WatchError &error) {
        console_.Tell(error.text + QStringLiteral("; no board is written after those being written now"));
        watchFailed_ = true;
        run_.Stop();
    });
}

AutoWriteRun::~AutoWriteRun() = default;

int AutoWriteRun::Run()
{
    RunOutputs &outputs = *options_.boards.outputs;
    OutputSink *trace = outputs.trace ? &outputs.trace->Sink() : nullptr;
    const CaughtUpWatch watch({outputs.out.get(), outputs.err.get(), trace}, records_.get(), [this] { emit CaughtUp(); });

    // The first signal ends the run as the operator's last board is done:
    // the boards being written finish, and nothing new starts. A second
    // stops those too, each closing its port, and the process then ends by
    // it as any write stopped so does.
    EndingSignals ending;
    connect(&ending, &EndingSignals::Received, this, [this](int signal) {
        if (++signals_ == 1) {
            run_.Stop();
            if (!options_.boards.quiet && !run_.IsFinished())
                console_.Tell(QStringLiteral("ending once the boards being written are done; %1 again stops them").arg(
                    QLatin1String(EndingSignals::Name(signal))));
            return;
        }
        endedBy_ = signal;
        run_.Cancel();
        if (records_)
            records_->GiveUp();
    });
    QEventLoop loop;
    connect(&run_, &AutoRun::Finished, &loop, &QEventLoop::quit);
    if (const auto started = run_.Start(); !started) {
        console_.Tell(started.error().text);
        return ExitPortFailed;
    }
    if (!options_.boards.quiet && !run_.IsFinished())
        console_.Tell(QStringLiteral("waiting for boards on %1 slot%2; Ctrl-C ends")
                          .arg(options_.slotList.size())
                          .arg(options_.slotList.size() == 1 ? QString() : QStringLiteral("s")));
    if (!run_.IsFinished())
        loop.exec();

    // The records and the trace are complete before the summary is told.
    const auto wait = [&](const std::function<bool()> &done, int limitMs) {
        QEventLoop waiting;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &waiting, &QEventLoop::quit);
        connect(this, &AutoWriteRun::CaughtUp, &waiting, &QEventLoop::quit);
        connect(&ending, &EndingSignals::Received, &waiting, &QEventLoop::quit);
        if (limitMs >= 0)
            limit.start(limitMs);
        while (!done() && (limitMs < 0 ? endedBy_ == 0 : limit.isActive()))
            waiting.exec();
    };
    const auto kept = [&] {
        return (!records_ || records_->Done()) && (!outputs.recordsToStdout || outputs.out->Drained()) && (!trace || trace->Drained());
    };
    wait(kept, endedBy_ == 0 ? -1 : LastWordsMs);
    ShowSummary();
    int status = watchFailed_ && status_ == ExitOk ? ExitPortFailed : status_;
    if (records_ && records_->Lost() > 0 && status == ExitOk)
        status = ExitOutputLost;
    const auto shown = [&] { return outputs.out->Drained() && outputs.err->Drained(); };
    wait(shown, endedBy_ == 0 ? -1 : LastWordsMs);
    if (endedBy_ != 0)
        EndingSignals::EndBy(endedBy_);
    return status;
}

void AutoWriteRun::OnStarted(int slot, const SlotDevice &device)
{
    if (!options_.boards.quiet)
        console_.Tell(QStringLiteral("%1: writing").arg(Label(slot, device.name)));
}

void AutoWriteRun::OnEnded(int slot, const BoardOutcome &outcome, bool counted)
{
    const QString label = Label(slot, outcome.port);
    if (!counted) {
        if (!options_.boards.quiet)
            console_.Tell(QStringLiteral("%1: no board answered; its server is tried again").arg(label));
        return;
    }
    const QString message = BoardMessage(outcome, EndedBy(endedBy_));
    const int status = BoardStatus(outcome, endedBy_);
    Tally &tally = tallies_[static_cast<std::size_t>(slot)];
    if (status == ExitOk) {
        ++tally.passed;
    } else {
        ++tally.failed;
        if (status_ == ExitOk)
            status_ = status;
    }
    console_.Line(Results(), QStringLiteral("%1 %2: %3 (%4 s)")
                                 .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), label, message)
                                 .arg(outcome.seconds, 0, 'f', 1));
    const QByteArray record = RecordLine(*options_.boards.program, outcome, message, status, options_.slotList[static_cast<std::size_t>(slot)].Describe());
    if (records_)
        records_->Put(record);
    else if (options_.boards.outputs->recordsToStdout)
        console_.Put(Console::Stream::Out, record.toStdString());
}

void AutoWriteRun::OnRefused(int slot, const SlotDevice &device, Refusal why, int otherSlot)
{
    if (options_.boards.quiet)
        return;
    QString text = QStringLiteral("%1: %2 is left alone: %3").arg(options_.slotList[static_cast<std::size_t>(slot)].Describe(),
                                                                  PathDisplay(device.name), QLatin1String(Why(why)));
    if (why == Refusal::OnAnotherSlot)
        text += u' ' + options_.slotList[static_cast<std::size_t>(otherSlot)].Describe();
    console_.Tell(text);
}

QString AutoWriteRun::Label(int slot, const QString &device) const
{
    const Slot &named = options_.slotList[static_cast<std::size_t>(slot)];
    if (named.SlotKind() == Slot::Kind::Pattern || named.SlotKind() == Slot::Kind::Com)
        return QStringLiteral("%1 (%2)").arg(named.Describe(), PathDisplay(device));
    return named.Describe();
}

void AutoWriteRun::ShowSummary() const
{
    int passed = 0;
    int failed = 0;
    for (const Tally &tally : tallies_) {
        passed += tally.passed;
        failed += tally.failed;
    }
    const int written = passed + failed;
    if (written == 0) {
        console_.Line(Results(), QStringLiteral("no board written"));
        return;
    }
    QString text = QStringLiteral("%1 board%2 written: %3 passed, %4 failed, yield %5%\n")
                       .arg(written)
                       .arg(written == 1 ? QString() : QStringLiteral("s"))
                       .arg(passed)
                       .arg(failed)
                       .arg(100.0 * passed / written, 0, 'f', 1);
    for (std::size_t slot = 0; slot < tallies_.size(); ++slot) {
        const Tally &tally = tallies_[slot];
        text += QStringLiteral("  %1: %2 passed, %3 failed\n").arg(options_.slotList[slot].Describe()).arg(tally.passed).arg(tally.failed);
    }
    console_.Put(Results(), text.toLocal8Bit().toStdString());
}

Console::Stream AutoWriteRun::Results() const
{
    return options_.boards.outputs->recordsToStdout ? Console::Stream::Err : Console::Stream::Out;
}

}  // namespace qw735
