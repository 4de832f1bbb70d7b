// SPDX-License-Identifier: GPL-2.0-or-later
#include "trace/WireTrace.h"

#include <utility>

namespace qw735 {

TraceOutput::TraceOutput(std::shared_ptr<OutputSink> sink)
    : sink_(std::move(sink)), start_(std::chrono::steady_clock::now())
{
}

void TraceOutput::Write(std::string line)
{
    sink_->Put(OutputSink::Kind::Trace, std::move(line));
}

std::chrono::microseconds TraceOutput::SinceStart() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_);
}

WireTrace::WireTrace(TraceOutput &output, const QString &port) : output_(output), port_(port.toStdString()) {}

void WireTrace::OnBytes(WireStep step, int number, WireDirection direction, std::span<const std::uint8_t> bytes)
{
    output_.Write(TraceLine(output_.SinceStart(), port_, step, number, direction, bytes));
}

void WireTrace::OnLineSettings(WireStep step, int number, const QString &settings)
{
    output_.Write(TraceLine(output_.SinceStart(), port_, step, number, WireDirection::Line, {}, settings.toStdString()));
}

void WireTrace::OnNote(WireStep step, int number, const QString &text)
{
    output_.Write(TraceLine(output_.SinceStart(), port_, step, number, WireDirection::Note, {}, text.toStdString()));
}

}  // namespace qw735
