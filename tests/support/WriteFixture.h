// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "tests/support/HostFixture.h"
#include "writer/Feedback.h"
#include "writer/FileSystem.h"
#include "writer/WriteTarget.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>
#include <vector>

namespace qw735::test {

// Every SetMaximum ('M') and SetValue ('V') in order.
struct RecordingProgress : ProgressDisplay {
    std::vector<std::pair<char, float>> calls;
    void SetMaximum(float maximum) override { calls.emplace_back('M', maximum); }
    void SetValue(float value) override { calls.emplace_back('V', value); }
    std::vector<float> Values(char kind) const;
};

struct RecordingMessageBox : MessageBox {
    QStringList shown;
    void Show(const QString &text) override { shown << text; }
};

// A loader of `size` bytes whose values run through 0..255 repeatedly, so
// that 0x11, 0x13, 0x0A and 0x0D all travel through the echo check.
QByteArray TestLoader(int size);

// Writes `data` to `name` in `dir` and returns the path.
QString WriteFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data);

// A whole write against a simulated board: the files in a temporary
// directory, the host's port open at 9600 baud as the window opens it.
struct WriteBench {
    explicit WriteBench(sim::BoardScript script = {}, int loaderSize = 40);
    // Runs one write of `mot` (S-record text) and returns how it ended.
    WriteResult Write(const QByteArray &mot);
    WriteResult WriteFileAt(const QString &path);

    QTemporaryDir dir;
    HostSide host;
    QString loaderPath;
    FileSystem fileSystem;
    RecordingProgress progress;
    RecordingMessageBox messages;
};

}  // namespace qw735::test
