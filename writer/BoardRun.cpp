// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/BoardRun.h"

#include "link/ByteTransport.h"
#include "link/Link.h"
#include "writer/Feedback.h"
#include "writer/StepTracker.h"
#include "writer/WriteTarget.h"

#include <QScopeGuard>
#include <QThread>
#include <chrono>
#include <utility>

namespace qw735 {

namespace {

// The files are read while the port is held: nothing may wait for a writer
// of a pipe or the end of a device, and nobody could interrupt it.
constexpr InputReader HeldPortReader = InputReader::Uninterruptible;

}  // namespace

BoardRun::BoardRun(ByteTransport &line, Link &link, BoardInput input, const WriteOptions &options)
    : line_(line), link_(link), input_(input), options_(options)
{
}

const BoardOutcome &BoardRun::Run()
{
    const auto start = std::chrono::steady_clock::now();
    outcome_.started = QDateTime::currentDateTimeUtc();
    NoProgress unseen;
    StepTracker steps(progress_ ? *progress_ : unseen, trace_);
    if (trace_)
        link_.SetObserver(&steps);
    // The link may outlive this run (the window keeps its own).
    const auto unobserved = qScopeGuard([this] { link_.SetObserver(nullptr); });
    OpenAndWrite(steps);
    outcome_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome_;
}

void BoardRun::OpenAndWrite(StepTracker &steps)
{
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            outcome_.stoppedAt = QStringLiteral("while opening");
            return;
        }
        linkInUse_ = true;
    }
    const auto released = qScopeGuard([this] {
        std::lock_guard lock(mutex_);
        linkInUse_ = false;
    });

    if (const auto *files = std::get_if<FilesToRead>(&input_)) {
        if (const auto checked = CheckProgramFileKind(files->program, HeldPortReader); !checked) {
            outcome_.result = {WriteOutcome::ProgramFailed, checked.error()};
            ShowResult();
            return;
        }
    }

    // Opening a remote port waits for its server; an abandon ends that
    // wait too. Open also empties the receive buffer: nothing that came
    // before the write is an answer to it.
        if (const auto opened = line_.Open(); !opened) {
        if (link_.Abandoned()) {
            outcome_.stoppedAt = QStringLiteral("while opening");
            return;
        }
        outcome_.result = {WriteOutcome::PortLost, opened.error().text, std::nullopt, opened.error().kind};
        ShowResult();
        return;
    }
    outcome_.opened = true;
    outcome_.serverSha256 = line_.ServerCertificateSha256();
    outcome_.latencyNote = line_.LatencyNote();
    steps.OnLineSettings(line_.Settings().text);
    {
        // The port closes whatever the write throws.
        const auto closed = qScopeGuard([this] { line_.Close(); });
        if (portOpened_)
            portOpened_();
        outcome_.result = Converse(steps);
        ShowResult();
    }
    if (outcome_.result.outcome == WriteOutcome::Abandoned)
        outcome_.stoppedAt = QString::fromStdString(StoppedAt(steps.Step(), steps.StepNumber()));
    outcome_.bytesSent = link_.BytesSent();
    outcome_.bytesReceived = link_.BytesReceived();
    if (const auto roundTrip = steps.RoundTrip())
        outcome_.roundTripMs = static_cast<double>(roundTrip->count()) / 1000.0;
}

WriteResult BoardRun::Converse(StepTracker &steps)
{
    // A cancel that came while the port opened: not a byte goes out.
    if (Cancelled()) {
        link_.Abandon();
        return {WriteOutcome::Abandoned, QString()};
    }
    if (const auto *files = std::get_if<FilesToRead>(&input_)) {
        const auto input = ReadWriteInput(files->program, files->loader, HeldPortReader);
        if (!input)
            return input.error();
        return WriteTarget(link_, *input, steps, options_);
    }
    return WriteTarget(link_, *std::get<const WriteInput *>(input_), steps, options_);
}

void BoardRun::ShowResult() const
{
    if (resultBox_ && outcome_.result.outcome != WriteOutcome::Abandoned)
        resultBox_->Show(outcome_.result.message);
}

bool BoardRun::Cancelled()
{
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void BoardRun::Cancel()
{
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (!linkInUse_)
        return;
    // On the link's own thread (a lone board, the window) the link is
    // abandoned at once; on another, its wait loop runs the abandon as soon
    // as it next pumps events, which this post wakes.
    Link *link = &link_;
    if (link->thread() == QThread::currentThread())
        link->Abandon();
    else
        QMetaObject::invokeMethod(link, [link] { link->Abandon(); }, Qt::QueuedConnection);
}

}  // namespace qw735
