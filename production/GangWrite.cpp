// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/GangWrite.h"

#include "base/DescriptorLimits.h"
#include "base/PathName.h"
#include "link/EventPump.h"
#include "link/Link.h"
#include "trace/WireTrace.h"
#include "writer/StepTracker.h"

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

// Where a write stopped, for the message of an interrupted board.
QString StoppedAt(WireStep step, int number)
{
    switch (step) {
    case WireStep::Open: return QStringLiteral("before the handshake");
    case WireStep::Sync:
    case WireStep::Handshake: return QStringLiteral("during the handshake");
    case WireStep::LoaderSize: return QStringLiteral("at the loader's size");
    case WireStep::Loader: return QStringLiteral("at loader byte %1").arg(number);
    case WireStep::EndMark: return QStringLiteral("at the loader's end mark");
    case WireStep::Command: return QStringLiteral("at the program command");
    case WireStep::Size: return QStringLiteral("at the image size");
    case WireStep::Block: return QStringLiteral("at block %1").arg(number);
    case WireStep::Checksum: return QStringLiteral("at the checksum");
    case WireStep::Final:
    case WireStep::Done: return QStringLiteral("waiting for the final reply");
    }
    std::unreachable();
}

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
        if (!link_)
            return;
        // On the board's own thread (a lone board) the link is abandoned at
        // once; on another, its wait loop runs the abandon as soon as it next
        // pumps events, which this post wakes.
        if (link_->thread() == QThread::currentThread())
            link_->Abandon();
        else
            QMetaObject::invokeMethod(link_, [link = link_] { link->Abandon(); }, Qt::QueuedConnection);
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
        const auto start = std::chrono::steady_clock::now();
        outcome_.started = QDateTime::currentDateTimeUtc();
        Write();
        outcome_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
        ByteTransport &port = *line;

        Link link(port, pump);
        Progress progress(gang_, index_);
        std::optional<WireTrace> trace;
        if (gang_.trace_)
            trace.emplace(*gang_.trace_, gang_.threaded_ ? outcome_.port : QString());
        StepTracker steps(progress, trace ? &*trace : nullptr);
        if (trace)
            link.SetObserver(&steps);
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) {
                outcome_.stoppedAt = QStringLiteral("while opening");
                return;
            }
            link_ = &link;
        }
        const auto forget = qScopeGuard([this] {
            std::lock_guard lock(mutex_);
            link_ = nullptr;
        });

        // Opening a remote port waits for its server; an abandon ends that
        // wait too.
        if (const auto opened = port.Open(); !opened) {
            if (link.Abandoned())
                outcome_.stoppedAt = QStringLiteral("while opening");
            else
                outcome_.result = {WriteOutcome::PortLost, opened.error().text , std::nullopt, opened.error().kind};
            return;
        }
        outcome_.opened = true;
        outcome_.serverSha256 = port.ServerCertificateSha256();
        outcome_.latencyNote = port.LatencyNote();
        steps.OnLineSettings(port.Settings().text);
        {
            // A cancel that came while the port opened: not a byte goes out.
            std::lock_guard lock(mutex_);
            if (cancelled_)
                link.Abandon();
        }
        try {
            outcome_.result = gang_.write_(link, steps);
        } catch (...) {
            port.Close();
            throw;
        }
        port.Close();
        if (outcome_.result.outcome == WriteOutcome::Abandoned)
            outcome_.stoppedAt = StoppedAt(steps.Step(), steps.StepNumber());
        outcome_.bytesSent = link.BytesSent();
        outcome_.bytesReceived = link.BytesReceived();
        if (const auto roundTrip = steps.RoundTrip())
            outcome_.roundTripMs = static_cast<double>(roundTrip->count()) / 1000.0;
    }

    GangWrite &gang_;
    const int index_;
    const PortName port_;
    BoardOutcome outcome_;

    std::mutex mutex_;
    bool cancelled_ = false;
    Link *link_ = nullptr;
};

GangWrite::GangWrite(std::vector<PortName> ports, std::optional<TlsIdentity> tls, BoardWrite write, QObject *parent)
    : QObject(parent), tls_(std::move(tls)), write_(std::move(write))
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
