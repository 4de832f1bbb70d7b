// SPDX-License-Identifier: GPL-2.0-or-later
#include "trace/WireTrace.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qw735 {

TraceOutput::TraceOutput() : fd_(STDERR_FILENO), start_(std::chrono::steady_clock::now()) {}

TraceOutput::TraceOutput(UniqueFd file)
    : file_(std::move(file)), fd_(file_.Get()), start_(std::chrono::steady_clock::now())
{
}

TraceOutput::~TraceOutput() = default;

std::expected<std::unique_ptr<TraceOutput>, QString> TraceOutput::ToFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::unexpected(QStringLiteral("Cannot open the trace file %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    return std::unique_ptr<TraceOutput>(new TraceOutput(UniqueFd(fd)));
}

void TraceOutput::Write(const std::string &line)
{
    std::lock_guard lock(mutex_);
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t written = ::write(fd_, line.data() + done, line.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        // A trace that cannot be written must not stop the write it traces.
        if (written <= 0)
            return;
        done += static_cast<std::size_t>(written);
    }
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

}  // namespace qw735
