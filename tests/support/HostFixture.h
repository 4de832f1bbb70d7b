// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/EventPump.h"
#include "link/Link.h"
#include "link/SerialPort.h"
#include "sim/TargetSim.h"
#include "writer/Feedback.h"
#include "writer/FileSystem.h"
#include "writer/StepTracker.h"
#include "writer/BoardRun.h"
#include "writer/WriteTarget.h"

#include <QByteArray>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

namespace qw735::test {

// A host link on the slave side of a simulated board's pseudo-terminal.
struct HostSide {
    explicit HostSide(sim::BoardScript script = {});

    std::unique_ptr<sim::TargetSim> board;
    SerialPort port;
    QtEventPump pump;
    Link link{port, pump};
    StepTracker steps;  // no progress, no trace
};

// A healthy board's script with one change: Script([](auto &s) { s.endMark.reset(); }).
sim::BoardScript Script(const std::function<void(sim::BoardScript &)> &change);

// Pumps events until `done` holds or `timeout` passes; returns `done()`.
bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout);

// This process's CPU time (user + system).
std::chrono::microseconds ProcessCpuTime();

// Milliseconds since `start`.
double MsSince(std::chrono::steady_clock::time_point start);

// Every SetMaximum ('M') and SetValue ('V') in order.
struct RecordingProgress : ProgressDisplay {
    std::vector<std::pair<char, float>> calls;
    void SetMaximum(ProgressStage, float maximum) override { calls.emplace_back('M', maximum); }
    void SetValue(float value) override { calls.emplace_back('V', value); }
};

struct RecordingMessageBox : MessageBox {
    QStringList shown;
    void Show(const QString &text) override { shown << text; }
};

// A loader of `size` bytes that starts with the values a wrongly set line
// eats or changes (XON, XOFF, LF, CR, 0xFF, 0x00, 0x7F, 0x80), so that every
// write's echo check carries them both ways, then runs through 0..255.
QByteArray TestLoader(int size);

// The bytes of `values`, as Telnet commands are written: Bytes({Iac, Will, OptionComPort}).
QByteArray Bytes(std::initializer_list<int> values);

// Writes `data` to `name` in `dir` and returns the path.
QString WriteFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data);
// The whole of the file at `path`; empty when it cannot be read.
QByteArray ReadFile(const QString &path);

// Whether another writer could open the serial device now.
bool PortIsFree(const QString &device);

// A Telnet server of a few lines on 127.0.0.1, in this thread's event loop.
// It refuses com-port control, says nothing at all, agrees and confirms each
// setting with the value asked for (the speed only after a while), or agrees
// and then pours data without end instead of confirming anything. It counts
// the purges asked of it.
class ScriptedPeer {
public:
    enum class Answer { Refuses, Silent, AgreesSlowly, Floods };
    static constexpr int SpeedAnswerMs = 300;

    explicit ScriptedPeer(Answer answer);
    QString Url() const;
    int purges = 0;

private:
    QTcpServer server_;
};

// A whole write against a simulated board, run as the window runs it: the
// files in a temporary directory read once the port is open, the result
// shown before it closes.
struct WriteBench {
    explicit WriteBench(sim::BoardScript script = {}, int loaderSize = 40);
    // Runs one write of `mot` (S-record text) and returns how it ended.
    WriteResult Write(const QByteArray &mot);

    QTemporaryDir dir;
    HostSide host;
    QString loaderPath;
    FileSystem fileSystem;
    RecordingProgress progress;
    RecordingMessageBox messages;
};

}  // namespace qw735::test
