// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/BoardRun.h"

#include "link/ByteTransport.h"
#include "link/Link.h"
#include "sequence/RunSequence.h"
#include "writer/BootHandshake.h"
#include "writer/Feedback.h"
#include "writer/StepTracker.h"
#include "writer/WriteTarget.h"

#include <QScopeGuard>
#include <QThread>
#include <chrono>
#include <future>
#include <optional>
#include <thread>
#include <utility>

namespace qw735 {

namespace {

// The files are read while the port is held: nothing may wait for a writer
// of a pipe or the end of a device, and nobody could interrupt it.
constexpr InputReader HeldPortReader = InputReader::Uninterruptible;

// A sequence's failure as the write's result: lines the port will not
// change end the write before the first sync byte, in the port's words and
// by the port's kind; a port lost or a write abandoned meanwhile ends as a
// link that went down.
std::expected<void, WriteResult> LinesChanged(const std::expected<SequenceTimes, PortError> &ran)
{
    if (ran)
        return {};
    const PortError &error = ran.error();
    if (error.kind == PortError::Kind::LinesRefused || error.kind == PortError::Kind::LinesNotConfirmed)
        return std::unexpected(WriteResult{WriteOutcome::PortLost, error.text, std::nullopt, error.kind});
    return std::unexpected(WriteResult{WriteOutcome::Abandoned, QString()});
}

// After an abandon the link takes no more changes and its waits end at
// once; on a local port the release still goes, its changes straight to
// the device (each a single system call) and its waits slept, all of them
// bounded by the sequence's own limits. Traced as a link's changes are.
void ReleaseAfterAbandon(ByteTransport &line, const LineSequence &release, StepTracker &steps)
{
    for (const SequenceStep &step : release.steps) {
        if (step.IsWait()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.waitMs));
            continue;
        }
        if (!line.ChangeLines(step.change))
            return;
        steps.OnLineChange(step.change);
    }
}

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

    // With a sequence the lines rest where it leaves them from the open
    // on, so that opening and closing the port reset no board on their own.
    line_.RestLinesAt(options_.RestLines());
    if (options_.bootEntry)
        outcome_.bootEntry = options_.bootEntry->Label();

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
        Release(steps);
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
        return Write(*input, steps);
    }
    return Write(*std::get<const WriteInput *>(input_), steps);
}

WriteResult BoardRun::Write(const WriteInput &run, StepTracker &steps)
{
    if (!options_.ownInput)
        return WriteFrom(run, {}, steps);
    // The board's write begins here: what is made now is the board's. It is
    // made beside the conversation, not before it: keeping a serial number
    // from ever being given twice costs a lock and two flushes to disk, and
    // boards that start together would otherwise each wait for all those
    // before them. Only the image needs it; the loader is the run's.
    std::future<std::expected<OwnInput, WriteResult>> making =
        std::async(std::launch::async, [this, &run] { return options_.ownInput->Make(run, giveUp_); });
    std::optional<std::expected<OwnInput, WriteResult>> own;
    const auto made = [&]() -> const std::expected<OwnInput, WriteResult> & {
        if (!own)
            own.emplace(making.get());
        return *own;
    };
    const LateImage image = [&]() -> std::expected<const WriteInput *, WriteResult> {
        if (made())
            return &made()->input;
        if (giveUp_) {
            link_.Abandon();
            return std::unexpected(WriteResult{WriteOutcome::Abandoned, QString()});
        }
        return std::unexpected(made().error());
    };
    const WriteResult result = WriteFrom(run, image, steps);
    // Whatever ended the write, the record names the number this board
    // took: it is the board's for good.
    if (made())
        outcome_.own = made()->facts;
    return result;
}

WriteResult BoardRun::WriteFrom(const WriteInput &input, const LateImage &image, StepTracker &steps)
{
    const auto handshake = EnterBootMode(steps);
    if (!handshake)
        return handshake.error();
    return WriteAfterHandshake(link_, input, steps, options_, *handshake, image);
}

std::expected<HandshakeResult, WriteResult> BoardRun::EnterBootMode(StepTracker &steps)
{
    const int tries = 1 + options_.syncRetries;
    HandshakeResult handshake{HandshakeOutcome::NoSyncAnswer};
    for (int attempt = 1; attempt <= tries && handshake.outcome == HandshakeOutcome::NoSyncAnswer; ++attempt) {
        outcome_.attempts = attempt;
        if (options_.bootEntry) {
            steps.SetStep(WireStep::BootEntry, attempt);
            steps.SetAttempt(attempt, tries);
            if (const auto entered = LinesChanged(RunSequence(link_, *options_.bootEntry)); !entered) {
                if (entered.error().outcome == WriteOutcome::Abandoned)
                    return HandshakeResult{HandshakeOutcome::LinkDown};
                return std::unexpected(entered.error());
            }
            // What the board said while it reset is no answer to a sync byte.
            if (!link_.DiscardInput())
                return HandshakeResult{HandshakeOutcome::LinkDown};
        } else {
            steps.SetAttempt(attempt, tries);
        }
        handshake = BootHandshake(link_, steps, options_);
    }
    return handshake;
}

void BoardRun::Release(StepTracker &steps)
{
    if (!options_.release || line_.Loss())
        return;
    steps.SetStep(WireStep::Release);
    if (!link_.Abandoned()) {
        // A refusal here leaves the write's result as it is: the board was
        // written or not; the trace shows the changes that were made.
        (void)RunSequence(link_, *options_.release);
        return;
    }
    // A remote port's changes each wait for the server, which an abandoned
    // write does not.
    if (!line_.IsRemote())
        ReleaseAfterAbandon(line_, *options_.release, steps);
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
    giveUp_ = true;
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
