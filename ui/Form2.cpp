// SPDX-License-Identifier: GPL-2.0-or-later
#include "ui/Form2.h"

#include "ui/ComToolTip.h"
#include "ui/Fonts.h"
#include "ui/Form1.h"
#include "ui/MessageDialog.h"
#include "ui/SFileDialog.h"
#include "ui/Twips.h"
#include "ui/WindowIcon.h"
#include "writer/FileSystem.h"

#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QRadioButton>

namespace qw735::ui {

namespace {

// Client area, frame and controls in twips, as designed: two columns of
// five ports, each a bare round button with its "ComN" label beside it.
constexpr int ClientWidth = 1830;
constexpr int ClientHeight = 1455;
constexpr int OptionTops[5] = {180, 420, 660, 900, 1140};
constexpr int OptionLefts[2] = {120, 960};
constexpr int LabelLefts[2] = {360, 1200};
constexpr int OptionSize = 255;
constexpr int LabelWidth = 495;
constexpr int LabelHeight = 195;

constexpr const char *IndexProperty = "Index";

}  // namespace

Form2::Form2(PortMap map, std::optional<FileSystem> fileSystem, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint),
      map_(std::move(map))
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Com"));
    setWindowIcon(WindowIcon());
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(WindowFont());

    Frame1 = new QGroupBox(QStringLiteral("ComPort"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(TwipsRect(*this, 0, 0, 1815, 1455));
    // The caption sits on the top edge of the frame, as designed: the first
    // row of ports (180 twips down) is placed just below that edge, and a
    // caption above the frame, as some styles draw it, would cover it.
    Frame1->setStyleSheet(QStringLiteral(
        "QGroupBox#Frame1 { border: 1px solid palette(mid); border-radius: 0px; margin-top: 0.5em; }"
        "QGroupBox#Frame1::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 0.5em; padding: 0px 1px; }"));

    for (int index = 0; index < ComPortCount; ++index) {
        const int column = index / 5;
        const int top = OptionTops[index % 5];

        auto *option = new QRadioButton(Frame1);
        option->setObjectName(QStringLiteral("Option1_%1").arg(index));
        option->setProperty(IndexProperty, index);
        option->setGeometry(TwipsRect(*this, OptionLefts[column], top, OptionSize, OptionSize));
        option->installEventFilter(this);
        Option1[index] = option;

        auto *label = new QLabel(QStringLiteral("Com%1").arg(index + 1), Frame1);
        label->setObjectName(QStringLiteral("Label1_%1").arg(index));
        label->setProperty(IndexProperty, index);
        label->setFont(LabelFont());
        label->setTextFormat(Qt::PlainText);
        label->setGeometry(TwipsRect(*this, LabelLefts[column], top, LabelWidth, LabelHeight));
        label->installEventFilter(this);
        Label1[index] = label;
    }

    CommonDialog1 = MakeSFileDialog(this);

    setFixedSize(TwipsSize(*this, ClientWidth, ClientHeight));
    Form_Load(std::move(fileSystem));
}

Form2::~Form2()
{
    // Closed before a file was chosen: the main window, loaded hidden by a
    // port click, goes with this one, and with it the last window.
    if (!handedOver_ && form1_)
        delete form1_.data();
}

Form1 *Form2::MainWindow() const
{
    return form1_.data();
}

void Form2::Form_Load(std::optional<FileSystem> fileSystem)
{
    // Made once, here, and shared with the main window, which outlives this one.
    fileSystem_ = std::make_shared<const FileSystem>(fileSystem ? std::move(*fileSystem) : FileSystem());
    RefreshToolTips();
}

void Form2::RefreshToolTips()
{
    const QStringList devices = map_();
    const PortMap snapshot = [devices] { return devices; };
    for (int index = 0; index < ComPortCount; ++index) {
        const QString tip = ComToolTip(snapshot, index + 1);
        Option1[index]->setToolTip(tip);
        Label1[index]->setToolTip(tip);
    }
}

bool Form2::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        // Adapters may have come or gone since the window opened.
        RefreshToolTips();
        return false;
    }
    if (event->type() != QEvent::MouseButtonRelease)
        return false;
    auto *option = qobject_cast<QRadioButton *>(watched);
    if (!option)
        return false;
    const auto *mouse = static_cast<QMouseEvent *>(event);
    if (!option->rect().contains(mouse->position().toPoint()))
        return false;  // released elsewhere after pressing here: no click

    // Runs once the release has been delivered, from the event loop: the
    // handler opens a modal dialog and may close this window, which must not
    // happen inside the radio button's own event handling.
    const int index = option->property(IndexProperty).toInt();
    const Qt::MouseButton button = mouse->button();
    const Qt::KeyboardModifiers shift = mouse->modifiers();
    const QPointF position = mouse->position();
    QMetaObject::invokeMethod(
        this, [this, index, button, shift, position] { Option1_MouseUp(index, button, shift, position); },
        Qt::QueuedConnection);
    return false;
}

void Form2::Option1_MouseUp(int index, Qt::MouseButton, Qt::KeyboardModifiers, QPointF)
{
    if (index < 0 || index >= ComPortCount || handedOver_)
        return;
    const int number = index + 1;
    // Any mouse button chooses the port; a right or middle click leaves the
    // radio button as it was, so mark it here.
    Option1[index]->setChecked(true);

    if (!form1_) {
        form1_ = new Form1(map_, fileSystem_);
        form1_->hide();
    }
    ComPort &port = form1_->PDQComm1();
    port.SelectPort(number);

    // Try the port once: a port that is missing or in use is reported now,
    // not at the first write. Open also empties the receive buffer.
    if (const auto opened = port.Open(); !opened) {
        ShowMessageDialog(this, opened.error().text);
        return;
    }
    port.Close();

    portNumber_ = number;
    form1_->ShowPortNumber(number);

    const auto path = AskSFilePath(*CommonDialog1);
    if (!path || !form1_)
        return;  // cancelled: the user may click a port again

    form1_->SetSFilePath(*path);
    form1_->show();
    handedOver_ = true;
    close();
}

}  // namespace qw735::ui
