// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "production/GangWrite.h"
#include "remote/TlsIdentity.h"
#include "slot/DeviceWatcher.h"
#include "slot/ServerProbe.h"
#include "slot/SlotCycles.h"

#include <QObject>
#include <expected>
#include <memory>
#include <optional>
#include <vector>

namespace qw735 {

// Tries a remote slot's server with a TCP connection, closed as soon as it
// is accepted: a station's server then opens its board's port for a moment
// only. TLS is not spoken: that the server accepts is all the watcher asks.
class TcpServerProbe final : public ServerProbe {
public:
    void Try(const Slot &slot, std::function<void(bool accepted)> done) override;
};

struct AutoSettings {
    WatchSettings watch;
    // Boards to write before the run ends; 0: until stopped.
    int count = 0;
};

// The automatic mode: writes each board as it is plugged into one of the
// slots. The watcher says when a device appears on a slot and is ready; the
// slot's cycle (SlotCycles) says whether its write is due; the write runs
// as a gang of one on a thread of its own (GangWrite), beside the boards of
// the other slots. A board left plugged is written once; a device on no
// slot is never opened. A device unplugged while it is written ends its
// write as the loss of its port, as any write does; the slot then waits for
// the next board. Lives on the thread whose event loop runs it.
class AutoRun : public QObject {
    Q_OBJECT
public:
    // `input` must outlive this object; every board is written with it and
    // `options`, as every board of a gang is.
    AutoRun(std::vector<Slot> slotList, AutoSettings settings, std::optional<TlsIdentity> tls, const WriteInput &input,
            WriteOptions options, QObject *parent = nullptr);
    // Cancels the writes under way and waits for their threads.
    ~AutoRun() override;

    // A wire trace for every board into `output`, which must outlive this
    // object; each line names the board's port.
    void SetTrace(TraceOutput *output) { trace_ = output; }
    // Starts watching: boards already plugged are written first.
    [[nodiscard]] std::expected<void, WatchError> Start();
    // No write starts any more; those under way finish (Ctrl-C).
    void Stop();
    // Stops, and ends the writes under way at once, as abandoned (a second
    // Ctrl-C).
    void Cancel();

    const DeviceWatcher &Watcher() const { return watcher_; }
    // Boards whose write ended with a board answering.
    int BoardsWritten() const { return cycles_.BoardsWritten(); }
    bool IsFinished() const { return cycles_.Finished(); }

signals:
    void BoardStarted(int slot, const qw735::SlotDevice &device);
    // The progress of the board on `slot`, as GangWrite's.
    void MaximumSet(int slot, qw735::ProgressStage stage, float maximum);
    void ValueSet(int slot, float value);
    // The board on `slot` ended. `counted`: a board answered, or the slot is
    // local (a device was plugged there); a remote slot's server with no
    // board behind it is tried again later and counts for nothing.
    void BoardEnded(int slot, const qw735::BoardOutcome &outcome, bool counted);
    // From the watcher: a device left alone, or devices no longer seen.
    void Refused(int slot, const qw735::SlotDevice &device, qw735::Refusal why, int otherSlot);
    void WatchFailed(const qw735::WatchError &error);
    // Nothing writing and nothing more to start: stopped, or the count
    // reached. Told once.
    void Finished();

private:
    void StartDue();
    void StartBoard(int slot);
    void OnBoardEnded(int slot);
    void CheckFinished();

    TcpServerProbe probe_;
    DeviceWatcher watcher_;
    SlotCycles cycles_;
    const std::optional<TlsIdentity> tls_;
    const WriteInput &input_;
    const WriteOptions options_;
    TraceOutput *trace_ = nullptr;
    // The gang of one writing each slot's board, a child of this object;
    // null when none is.
    std::vector<GangWrite *> writing_;
    bool finishedTold_ = false;
};

}  // namespace qw735
