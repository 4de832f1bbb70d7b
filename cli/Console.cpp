// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/Console.h"

#include "production/ExitStatus.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

namespace qw735 {

namespace {

constexpr std::string_view ProgramName = "qw735-write: ";

// The first error stdout gave, for the runs whose output is all there is.
int stdoutError = 0;

void KeepStdoutError()
{
    if (stdoutError == 0)
        stdoutError = errno != 0 ? errno : EIO;
}

}  // namespace

Console::Console(std::shared_ptr<OutputSink> out, std::shared_ptr<OutputSink> err) : out_(std::move(out)), err_(std::move(err)) {}

void Console::Put(Stream stream, std::string text, Kind kind) const
{
    if (const auto &sink = stream == Stream::Out ? out_ : err_) {
        sink->Put(kind, std::move(text));
        return;
    }
    if (stream == Stream::Err) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        return;
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        KeepStdoutError();
}

void Console::Line(Stream stream, const QString &line) const
{
    Put(stream, (line + u'\n').toLocal8Bit().toStdString());
}

void Console::Tell(const QString &text) const
{
    const QByteArray bytes = text.toLocal8Bit();
    TellBytes(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void Console::TellBytes(std::string_view text, std::string_view more) const
{
    if (err_) {
        err_->Put(Kind::Final, std::string(ProgramName).append(text).append(more).append(1, '\n'));
        return;
    }
    // One piece, as a line another program writes beside it cannot split.
    std::fprintf(stderr, "%.*s%.*s%.*s\n", static_cast<int>(ProgramName.size()), ProgramName.data(), static_cast<int>(text.size()),
                 text.data(), static_cast<int>(more.size()), more.data());
}

int Console::StdoutStatus(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        KeepStdoutError();
    if (stdoutError == 0)
        return status;
    Console().TellBytes("the output could not be written to stdout: ", std::strerror(stdoutError));
    return status == ExitOk ? ExitOutputLost : status;
}

void ReportFailure(std::string_view more)
{
    const Console console;
    try {
        throw;
    } catch (const std::bad_alloc &) {
        console.TellBytes("out of memory", more);
    } catch (const std::exception &error) {
        console.TellBytes(error.what(), more);
    } catch (...) {
        console.TellBytes("failed", more);
    }
}

}  // namespace qw735
