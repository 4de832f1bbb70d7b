// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/GangWrite.h"

#include "base/DescriptorLimits.h"
#include "base/PathName.h"
#include "link/EventPump.h"
#include "link/Link.h"
#include "trace/WireTrace.h"

#include <QScopeGuard>
#include <QThread>
#include <chrono>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

namespace qw735 {

namespace {

// What one board holds at most: its thread's event loop, its port and the
// port's lock, and while it opens, the lock file other serial programs look
// for; or a socket for a remote port. Four at most were seen, one more is
// room to spare.
constexpr int DescriptorsPerBoard = 5;
// The process's own: standard descriptors, the main event loop, the signal
// pipe, the report and the trace, and what the toolkit opens on its own
// (nine were seen besides the outputs).
constexpr int DescriptorsOfTheProcess = 24;

}  // namespace

class GangWrite::Board : public QThread {
public:
    Board(GangWrite &gang, int index, PortName port) : gang_(gang), index_(index), port_(std::move(port))
    {
        // Names keep their bytes (see PathString); records and messages show
        // the bytes that are not UTF-8 as \xNN.
        outcome_.port = PathDisplay(port_.Text());
        outcome_.device = PathDisplay(port_.DeviceBehind());
        outcome_.described = port_.Describe();
        outcome_.remote = port_.IsRemote();
    }

    // Runs the write here and now, on the calling thread.
    void RunHere() { GuardedWork(); }

    void Cancel()
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        if (run_)
            run_->Cancel();
    }

    // A thread that could not be made: the board ends before it began.
    void FailToStart()
    {
        outcome_.failure = std::make_exception_ptr(std::bad_alloc());
        Ended();
    }
    // No descriptors left for the board's thread and port.
    void FailForDescriptors()
    {
        outcome_.result = {WriteOutcome::PortLost, QStringLiteral("Cannot open %1: %2").arg(outcome_.described, DescriptorShortage()),
                           std::nullopt, PortError::Kind::NoDescriptors};
        Ended();
    }

    const BoardOutcome &Outcome() const { return outcome_; }

protected:
    void run() override { GuardedWork(); }

private:
    // The progress of this board's write, passed on as the gang's signals.
    class Progress : public ProgressDisplay {
    public:
        Progress(GangWrite &gang, int board) : gang_(gang), board_(board) {}
        void SetMaximum(ProgressStage stage, float maximum) override { emit gang_.MaximumSet(board_, stage, maximum); }
        void SetValue(float value) override { emit gang_.ValueSet(board_, value); }
        void SetRoundTrip(double ms) override { emit gang_.RoundTripMeasured(board_, ms); }
        void SetAttempt(int attempt, int tries) override { emit gang_.AttemptStarted(board_, attempt, tries); }

    private:
        GangWrite &gang_;
        int board_;
    };

    // What a write throws ends its board as failed, on a thread of its own
    // or on the calling thread alike: leaving a thread's run would end the
    // process with every other board's port still open, and leaving Start()
    // would pass the board's end, and so its record, by. The port closed as
    // Write unwound; the front end passes the failure on once every board's
    // end has been delivered.
    void GuardedWork()
    {
        try {
            Work();
        } catch (...) {
            outcome_.failure = std::current_exception();
            Ended();
        }
    }

    void Work()
    {
        // The run says when it began; a board whose run could not even be
        // made began here.
        outcome_.started = QDateTime::currentDateTimeUtc();
        Write();
        Ended();
    }

    void Ended()
    {
        QMetaObject::invokeMethod(&gang_, [gang = &gang_, index = index_] { gang->OnBoardEnded(index); }, Qt::QueuedConnection);
    }

    void Write()
    {
        QtEventPump pump;
        // A new line opens at the boot mode's settings, 9600,N,8,1.
        const auto line = port_.MakeTransport(pump, gang_.tls_);
        Link link(*line, pump);
        Progress progress(gang_, index_);
        std::optional<WireTrace> trace;
        if (gang_.trace_)
            trace.emplace(*gang_.trace_, gang_.threaded_ ? outcome_.port : QString());
        BoardRun run(*line, link, &gang_.input_, gang_.options_);
        run.ShowProgress(progress);
        if (trace)
            run.Trace(*trace);
        run.Name(outcome_);
        {
            std::lock_guard lock(mutex_);
            if (cancelled_)
                run.Cancel();
            run_ = &run;
        }
        const auto forget = qScopeGuard([this] {
            std::lock_guard lock(mutex_);
            run_ = nullptr;
        });
        try {
            run.Run();
        } catch (...) {
            // What was known when the write threw goes into its record.
            outcome_ = run.Outcome();
            throw;
        }
        outcome_ = run.Outcome();
    }

    GangWrite &gang_;
    const int index_;
    const PortName port_;
    BoardOutcome outcome_;

    std::mutex mutex_;
    bool cancelled_ = false;
    BoardRun *run_ = nullptr;
};

GangWrite::GangWrite(std::vector<PortName> ports, std::optional<TlsIdentity> tls, const WriteInput &input, WriteOptions options,
                     QObject *parent)
    : QObject(parent), tls_(std::move(tls)), input_(input), options_(options)
{
    for (std::size_t i = 0; i < ports.size(); ++i)
        boards_.push_back(std::make_unique<Board>(*this, static_cast<int>(i), std::move(ports[i])));
}

GangWrite::~GangWrite()
{
    Cancel();
    for (const auto &board : boards_)
        board->wait();
}

void GangWrite::Start(LoneBoard lone)
{
    running_ = BoardCount();
    threaded_ = boards_.size() > 1 || lone == LoneBoard::OnItsThread;
    if (!threaded_ && boards_.size() == 1) {
        boards_[0]->RunHere();
        return;
    }
    for (const auto &board : boards_) {
        // The toolkit ends the process when a thread's event loop cannot
        // have its descriptor; better a board that says why.
        if (!HasFreeDescriptors(DescriptorsPerBoard)) {
            board->FailForDescriptors();
            continue;
        }
        board->start();
        // start() says nothing when the system cannot make the thread.
        if (!board->isRunning() && !board->isFinished())
            board->FailToStart();
    }
}

int GangWrite::DescriptorsNeeded(int boards)
{
    return DescriptorsOfTheProcess + DescriptorsPerBoard * boards;
}

void GangWrite::Cancel()
{
    for (const auto &board : boards_)
        board->Cancel();
}

const BoardOutcome &GangWrite::Outcome(int board) const
{
    return boards_.at(static_cast<std::size_t>(board))->Outcome();
}

void GangWrite::OnBoardEnded(int board)
{
    --running_;
    emit BoardEnded(board);
    if (running_ == 0)
        emit AllEnded();
}

}  // namespace qw735
