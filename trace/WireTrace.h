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

// Turns one link's wire events, each with the step of the write it belongs
// to, into trace lines.
class WireTrace {
public:
    // `port` names the port on every line; empty for a single write.
    WireTrace(TraceOutput &output, const QString &port);
    void OnBytes(WireStep step, int number, WireDirection direction, std::span<const std::uint8_t> bytes);
    void OnLineSettings(WireStep step, int number, const QString &settings);
    // What the writer measured of the wire, in words: "round trip 2.235 ms".
    void OnNote(WireStep step, int number, const QString &text);

private:
    TraceOutput &output_;
    std::string port_;
};

}  // namespace qw735
