// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "base/UniqueFd.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qw735 {

// Text for one descriptor (stdout, stderr, a trace file), written by a thread
// of its own so that whoever puts a line never waits for the reader: a pipe
// nobody drains, a terminal stopped with Ctrl-S, a slow disk. The boards'
// threads put trace and progress lines here between two bytes of a write.
//
// What waits is bounded: once `limit` bytes wait, a progress line is dropped
// (the next one shows where the write is by then) and a trace line is
// counted as lost. Final
// lines (results, messages) are never dropped; there are few of them.
class OutputSink {
public:
    enum class Kind { Progress, Trace, Final };

    // Writes to `fd`, which stays open (stdout, stderr). The thread is made
    // here; without it (no thread could be made) every line is written at
    // once by the caller, which then may wait for the reader.
    explicit OutputSink(int fd, std::size_t limit = DefaultLimit);
    // Writes to `fd` and closes it once the sink and its thread are done.
    explicit OutputSink(UniqueFd fd, std::size_t limit = DefaultLimit);
    // Lines go to `write` instead, on the sink's thread; it says whether the
    // line was taken. For outputs that are more than a descriptor.
    explicit OutputSink(std::function<bool(const std::string &)> write);
    // Takes back what still waits without writing it; a line being written
    // now is left to finish on its own.
    ~OutputSink();
    OutputSink(const OutputSink &) = delete;
    OutputSink &operator=(const OutputSink &) = delete;

    void Put(Kind kind, std::string text);

    // True when nothing waits and nothing is being written.
    bool Drained() const;
    // Called on the sink's thread each time it has written everything that
    // waited; set it before checking Drained() to miss no moment.
    void OnDrained(std::function<void()> callback);

    // Trace lines that were not written, because too much waited or the
    // descriptor refused them.
    std::uint64_t LostTraceLines() const;
    // Lines of any kind that the descriptor or `write` refused.
    std::uint64_t Refused() const;
    // The error number of the first write the descriptor refused; 0 while
    // none was. A reader gone away (EPIPE) counts as one.
    int WriteError() const;

    static constexpr std::size_t DefaultLimit = 256 * 1024;

private:
    void Start();

    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace qw735
