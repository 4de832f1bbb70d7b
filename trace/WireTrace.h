// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/OutputSink.h"
#include "trace/TraceFormat.h"

#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace qw735 {

// What the link reports of the wire when asked to: every byte sent or taken,
// every discard and every change of line settings, each with the step of the
// write it belongs to. Called on the link's own thread.
class WireObserver {
public:
    virtual ~WireObserver() = default;
    virtual void OnBytes(WireStep step, int number, WireDirection direction, std::span<const std::uint8_t> bytes) = 0;
    virtual void OnLineSettings(WireStep step, int number, const QString &settings) = 0;
};

// Where trace lines go: stderr or a file, shared by every board of a gang
// write. Lines are put whole, one at a time, from any thread, into an output
// sink: a board's thread never waits for the trace's reader, and a line the
// sink could not take or write is counted as lost.
class TraceOutput {
public:
    explicit TraceOutput(std::shared_ptr<OutputSink> sink);
    TraceOutput(const TraceOutput &) = delete;
    TraceOutput &operator=(const TraceOutput &) = delete;

    void Write(std::string line);
    // Time since this output was made: the trace's zero.
    std::chrono::microseconds SinceStart() const;
    OutputSink &Sink() const { return *sink_; }

private:
    std::shared_ptr<OutputSink> sink_;
    std::chrono::steady_clock::time_point start_;
};

// Turns one link's wire events into trace lines.
class WireTrace : public WireObserver {
public:
    // `port` names the port on every line; empty for a single write.
    WireTrace(TraceOutput &output, const QString &port);
    void OnBytes(WireStep step, int number, WireDirection direction, std::span<const std::uint8_t> bytes) override;
    void OnLineSettings(WireStep step, int number, const QString &settings) override;

private:
    TraceOutput &output_;
    std::string port_;
};

}  // namespace qw735
