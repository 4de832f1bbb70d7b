// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/EventPump.h"
#include "link/Link.h"
#include "link/PortMap.h"
#include "ports/ComPort.h"
#include "writer/Feedback.h"

#include <QString>
#include <QWidget>
#include <memory>

class QFileDialog;
class QLabel;
class QProgressBar;
class QPushButton;

namespace qw735 {
class BoardRun;
class FileSystem;
}

namespace qw735::ui {

// The main window, captioned "QW735": shows the S-record file and the port,
// starts a write with "Write", picks another file with "Change File", and
// shows the progress of a write. It is the progress display, the event
// pump and the message box the write sequence reports through, and owns the
// serial port and the link with its two timers for as long as it lives.
//
// Every control's object name is its control name ("Label1", "Command1",
// "ProgressBar1", ...). The window deletes itself when closed; closed during
// a write, it first lets the write end and close the port.
class Form1 : public QWidget, public ProgressDisplay, public MessageBox {
    Q_OBJECT
public:
    // `map` says which device is behind each Com; `fileSystem` finds the
    // loader and is shared with the port selection window that made it.
    Form1(PortMap map, std::shared_ptr<const FileSystem> fileSystem, QWidget *parent = nullptr);
    ~Form1() override;

    // "Write": one whole write, from opening the port to the result message,
    // as a board run on this window's port and link.
    void Command1_Click();

    // The port number label, and its tooltip naming the device behind it.
    void ShowPortNumber(int number);
    // The file label and the file the next write reads.
    void SetSFilePath(const QString &path);
    const QString &SFilePath() const { return sFilePath_; }

    // ProgressDisplay: maximum = bytes to send, value = bytes sent; the bar
    // does not show the stage.
    void SetMaximum(ProgressStage stage, float maximum) override;
    void SetValue(float value) override;
    // MessageBox: the result of a write, modal, until dismissed.
    void Show(const QString &text) override;

    ComPort &PDQComm1() { return port_; }
    bool IsWriting() const { return writing_; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // "Change File": asks for another S-record file.
    void Command2_Click();
    // Puts the boot settings (9600 baud) on the closed port, for its next open.
    void UseBootSettings();
    QLabel *AddLabel(const char *name, const QString &text, int left, int top, int width, int height, bool bordered);

    PortMap map_;
    std::shared_ptr<const FileSystem> fileSystem_;
    // Declared before the link, which refers to both.
    ComPort port_;
    QtEventPump pump_;
    Link link_;

    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QFileDialog *CommonDialog1 = nullptr;

    QString sFilePath_;
    BoardRun *run_ = nullptr;  // the write under way
    bool writing_ = false;
    bool closedWhileWriting_ = false;
};

}  // namespace qw735::ui
