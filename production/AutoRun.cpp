// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/AutoRun.h"

#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <memory>

namespace qw735 {

namespace {

using namespace std::chrono_literals;

// A station's server on the local network answers a connection at once; one
// that does not within this time counts as down until the next try.
constexpr auto ProbeLimit = 2s;

WatchSettings WithProbe(WatchSettings settings, ServerProbe *probe)
{
    settings.probe = probe;
    return settings;
}

}  // namespace

void TcpServerProbe::Try(const Slot &slot, std::function<void(bool accepted)> done)
{
    auto *socket = new QTcpSocket;
    auto *limit = new QTimer(socket);
    limit->setSingleShot(true);
    // Told once, whichever comes first; the socket goes with the answer.
    const auto answer = [socket, done = std::move(done)](bool accepted) {
        if (socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        socket->abort();
        socket->deleteLater();
        done(accepted);
    };
    QObject::connect(socket, &QTcpSocket::connected, socket, [answer] { answer(true); });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [answer] { answer(false); });
    QObject::connect(limit, &QTimer::timeout, socket, [answer] { answer(false); });
    limit->start(ProbeLimit);
    socket->connectToHost(slot.Host(), slot.Port());
}

AutoRun::AutoRun(std::vector<Slot> slotList, AutoSettings settings, std::optional<TlsIdentity> tls, const WriteInput &input,
                 WriteOptions options, QObject *parent)
    : QObject(parent),
      watcher_(std::move(slotList), WithProbe(std::move(settings.watch), &probe_)),
      cycles_(watcher_.SlotCount(), settings.count),
      tls_(std::move(tls)),
      input_(input),
      options_(options),
      writing_(static_cast<std::size_t>(watcher_.SlotCount()), nullptr)
{
    connect(&watcher_, &DeviceWatcher::Appeared, this, [this](int slot) {
        cycles_.Appeared(slot);
        StartDue();
    });
    connect(&watcher_, &DeviceWatcher::Ready, this, [this](int slot) {
        cycles_.Ready(slot);
        StartDue();
    });
    connect(&watcher_, &DeviceWatcher::Gone, this, [this](int slot) {
        cycles_.Gone(slot);
        StartDue();
    });
    connect(&watcher_, &DeviceWatcher::Refused, this, &AutoRun::Refused);
    connect(&watcher_, &DeviceWatcher::Failed, this, &AutoRun::WatchFailed);
}

AutoRun::~AutoRun()
{
    // The gangs, children of this object, wait for their threads as they go.
    Cancel();
}

std::expected<void, WatchError> AutoRun::Start()
{
    const auto started = watcher_.Start();
    if (started)
        CheckFinished();  // --count 0 is refused before; a run stopped before it started
    return started;
}

void AutoRun::Stop()
{
    cycles_.Stop();
    CheckFinished();
}

void AutoRun::Cancel()
{
    Stop();
    for (GangWrite *gang : writing_) {
        if (gang)
            gang->Cancel();
    }
}

void AutoRun::StartDue()
{
    for (const int slot : cycles_.StartDue())
        StartBoard(slot);
    CheckFinished();
}

void AutoRun::StartBoard(int slot)
{
    const SlotDevice &device = *watcher_.DeviceOn(slot);
    // The name the device appeared under: the slot's link or node, or the
    // remote slot's URL. Its text was read as a slot already, so it names a
    // port.
    auto port = PortName::Parse(device.name);
    std::vector<PortName> ports;
    ports.push_back(std::move(*port));
    auto *gang = new GangWrite(std::move(ports), tls_, input_, options_, this);
    gang->SetTrace(trace_);
    connect(gang, &GangWrite::MaximumSet, this, [this, slot](int, ProgressStage stage, float maximum) { emit MaximumSet(slot, stage, maximum); });
    connect(gang, &GangWrite::ValueSet, this, [this, slot](int, float value) { emit ValueSet(slot, value); });
    connect(gang, &GangWrite::BoardEnded, this, [this, slot] { OnBoardEnded(slot); });
    writing_[static_cast<std::size_t>(slot)] = gang;
    emit BoardStarted(slot, device);
    gang->Start(GangWrite::LoneBoard::OnItsThread);
}

void AutoRun::OnBoardEnded(int slot)
{
    GangWrite *gang = std::exchange(writing_[static_cast<std::size_t>(slot)], nullptr);
    const BoardOutcome outcome = gang->Outcome(0);
    // Its thread is ending; the gang waits for it as it goes, once the
    // signal that told this has returned.
    gang->deleteLater();
    // A board answered when anything came back; a local slot had a device
    // plugged, and counts whatever came of it.
    const bool remote = watcher_.SlotAt(slot).SlotKind() == Slot::Kind::Remote;
    const bool answered = outcome.bytesReceived > 0;
    const bool counted = !remote || answered;
    watcher_.WriteEnded(slot, answered);
    cycles_.WriteEnded(slot, counted ? SlotCycles::End::Board : SlotCycles::End::NoBoard);
    emit BoardEnded(slot, outcome, counted);
    StartDue();
}

void AutoRun::CheckFinished()
{
    if (!finishedTold_ && cycles_.Finished()) {
        finishedTold_ = true;
        emit Finished();
    }
}

}  // namespace qw735
