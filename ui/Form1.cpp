// SPDX-License-Identifier: GPL-2.0-or-later
#include "ui/Form1.h"

#include "link/PortSettings.h"
#include "ui/ComToolTip.h"
#include "ui/Fonts.h"
#include "ui/MessageDialog.h"
#include "ui/SFileDialog.h"
#include "ui/Twips.h"
#include "ui/WindowIcon.h"
#include "writer/BoardRun.h"
#include "writer/FileSystem.h"
#include "writer/Messages.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cassert>
#include <cmath>
#include <new>

namespace qw735::ui {

namespace {

// Client area and controls in twips, as designed.
constexpr int ClientWidth = 5340;
constexpr int ClientHeight = 645;

}  // namespace

Form1::Form1(PortMap map, std::shared_ptr<const FileSystem> fileSystem, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint),
      map_(std::move(map)),
      fileSystem_(std::move(fileSystem)),
      port_(map_),
      link_(port_, pump_)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(ApplicationTitle));
    setWindowIcon(WindowIcon());
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(WindowFont());
    port_.setObjectName(QStringLiteral("PDQComm1"));
    UseBootSettings();

    Label3 = AddLabel("Label3", QStringLiteral("S File:"), 60, 60, 495, 255, false);
    Label2 = AddLabel("Label2", QString(), 540, 60, 3615, 255, true);
    Command2 = new QPushButton(QStringLiteral("Change File"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(TwipsRect(*this, 4200, 60, 1095, 255));
    Label4 = AddLabel("Label4", QStringLiteral("Com:"), 60, 360, 495, 255, false);
    Label1 = AddLabel("Label1", QString(), 540, 360, 315, 255, true);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(TwipsRect(*this, 900, 360, 3255, 255));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    // A bare bar, as designed: the percentage would not fit beside it.
    ProgressBar1->setTextVisible(false);
    Command1 = new QPushButton(QStringLiteral("Write"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(TwipsRect(*this, 4200, 360, 1095, 255));

    CommonDialog1 = MakeSFileDialog(this);

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);

    setFixedSize(TwipsSize(*this, ClientWidth, ClientHeight));
}

Form1::~Form1() = default;

QLabel *Form1::AddLabel(const char *name, const QString &text, int left, int top, int width, int height, bool bordered)
{
    auto *label = new QLabel(text, this);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(TwipsRect(*this, left, top, width, height));
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setTextFormat(Qt::PlainText);
    if (bordered) {
        label->setFrameStyle(QFrame::Box | QFrame::Plain);
        label->setLineWidth(1);
    }
    return label;
}

void Form1::ShowPortNumber(int number)
{
    Label1->setText(QString::number(number));
    Label1->setToolTip(ComToolTip(map_, number));
}

void Form1::SetSFilePath(const QString &path)
{
    Label2->setText(path);
    sFilePath_ = path;
}

void Form1::Command1_Click()
{
    // The buttons are disabled during a write; this guards a click that was
    // already queued when they went grey.
    if (writing_)
        return;

    // The chosen file is read anew at every write, once the port is open;
    // the run refuses one that is not a regular file before it opens the
    // port, and shows the write's one message before it closes the port.
    BoardRun run(port_, link_, FilesToRead{PathName(QFile::encodeName(sFilePath_)), PathName(QFile::encodeName(fileSystem_->LoaderPath()))},
                 WriteOptions{});
    run.ShowProgress(*this);
    run.ShowResultIn(*this);
    run.OnPortOpened([this] {
        Command1->setEnabled(false);
        Command2->setEnabled(false);
        writing_ = true;
    });
    run_ = &run;
    // Whatever the write throws ends it here, the port closed; what
    // happened is said once the window is idle again.
    const char *failure = nullptr;
    try {
        run.Run();
    } catch (const std::bad_alloc &) {
        failure = "Out of memory: the write stopped, the board is not fully written";
    } catch (...) {
        failure = "The write failed unexpectedly: the board is not fully written";
    }
    run_ = nullptr;
    // A file refused or a port that did not open has had its message; the
    // window stayed as it was.
    if (!run.Outcome().opened && !failure)
        return;
    writing_ = false;

    Command1->setEnabled(true);
    Command2->setEnabled(true);
    ProgressBar1->setValue(0);
    // The image transfer leaves the port at 38400 baud; the next write
    // starts with the boot handshake at 9600.
    UseBootSettings();
    if (failure)
        Show(QString::fromLatin1(failure));

    if (closedWhileWriting_) {
        // Posted from here, the deletion waits until this click has unwound.
        deleteLater();
    }
}

void Form1::Command2_Click()
{
    if (const auto path = AskSFilePath(*CommonDialog1))
        SetSFilePath(*path);
}

void Form1::SetMaximum(ProgressStage, float maximum)
{
    // The bar counts in whole bytes; an image of 256 KiB fits an int.
    const int bytes = std::max(1, static_cast<int>(std::lround(maximum)));
    // setRange empties a bar whose value falls outside the new range; the
    // value stays as it was (the loader's length, until the first block of
    // a shorter image), shown as a full bar.
    const int value = ProgressBar1->value();
    ProgressBar1->setRange(0, bytes);
    ProgressBar1->setValue(std::clamp(value, 0, bytes));
}

void Form1::SetValue(float value)
{
    // QProgressBar ignores values outside its range rather than clamping.
    const int bytes = static_cast<int>(std::lround(value));
    ProgressBar1->setValue(std::clamp(bytes, ProgressBar1->minimum(), ProgressBar1->maximum()));
}

void Form1::UseBootSettings()
{
    // Closed, the port only keeps the settings for the next open.
    [[maybe_unused]] const auto set = port_.ChangeSettings(BootSettings());
    assert(set);
}

void Form1::Show(const QString &text)
{
    ShowMessageDialog(this, text);
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (writing_) {
        // The write is further up this very call stack, inside one of its
        // waits. Deleting the window now would pull the port and the link
        // from under it: end the waits instead, let the write return (it
        // shows no message when abandoned) and close the port, and delete
        // the window once the click has unwound.
        closedWhileWriting_ = true;
        setAttribute(Qt::WA_DeleteOnClose, false);
        run_->Cancel();
    }
    event->accept();
}

}  // namespace qw735::ui
