// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/TargetSim.h"
#include "ui/Form1.h"
#include "ui/Form2.h"
#include "ui/SFileDialog.h"
#include "ui/Twips.h"
#include "writer/FileSystem.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using namespace qw735;
using namespace qw735::ui;
using sim::BoardScript;
using sim::Phase;
using sim::TargetSim;

// Readable failures: gtest would print a QString as an array of bytes.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

// Owns the timers that wait for modal widgets; each test deletes its own, so
// that a timer waiting in vain cannot act on the next test's dialogs.
QObject *Watchers()
{
    static QObject *watchers = new QObject;
    return watchers;
}

// Calls `act` with the first modal widget of type T to come up, from a timer
// (timers also fire inside a dialog's loop and inside a write's waits).
template <class T>
void WhenModal(std::function<void(T *)> act)
{
    auto *timer = new QTimer(Watchers());
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (auto *widget = qobject_cast<T *>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(widget);
        }
    });
    timer->start(5);
}

struct BoxSeen {
    int count = 0;
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::Warning;
    int buttons = 0;
    QMessageBox::StandardButtons standard;
};

// Records the message box and presses its OK button.
void DismissBox(BoxSeen *seen)
{
    WhenModal<QMessageBox>([seen](QMessageBox *box) {
        ++seen->count;
        seen->text = box->text();
        seen->title = box->windowTitle();
        seen->icon = box->icon();
        seen->buttons = static_cast<int>(box->buttons().size());
        seen->standard = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
    });
}

// What a user does: types the full path into the file name field, presses Open.
void TypeFileAndOpen(QFileDialog *dialog, const QString &path)
{
    auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(path);
    static_cast<QDialog *>(dialog)->accept();
}

// Runs `start` from the application's own event loop, as in the program,
// and returns exec()'s status once the loop ends (-1: it did not end in time).
int RunProgramLoop(std::function<void()> start)
{
    QTimer::singleShot(0, start);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    watchdog.start(20000);
    const int status = QApplication::exec();
    // As the program does: deletions posted while the loop was ending.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}

template <class T>
T *Child(QWidget *window, const QString &name)
{
    T *child = window->findChild<T *>(name);
    EXPECT_NE(child, nullptr) << name.toStdString();
    return child;
}

class Ui : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        loader_ = dir_.filePath(QStringLiteral("tqw735.bin"));
        QFile loader(loader_);
        ASSERT_TRUE(loader.open(QIODevice::WriteOnly));
        for (int i = 0; i < 40; ++i)
            loader.putChar(static_cast<char>(i * 7));
        loader.close();
        sFile_ = WriteSFile(QStringLiteral("first.mot"), 0x10);
    }

    void TearDown() override
    {
        qDeleteAll(Watchers()->children());
        QList<QPointer<QWidget>> windows;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (qobject_cast<Form1 *>(widget) || qobject_cast<Form2 *>(widget))
                windows << widget;
        }
        for (const QPointer<QWidget> &window : windows)
            delete window.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // One S1 record of 16 bytes first, first + 1, ... at address 0, and an S9.
    QString WriteSFile(const QString &name, int first)
    {
        QByteArray data;
        int sum = 0x13;
        for (int i = 0; i < 16; ++i) {
            data.append(static_cast<char>(first + i));
            sum += first + i;
        }
        const QByteArray line = "S1130000" + data.toHex().toUpper() + QByteArray::number(~sum & 0xFF, 16).rightJustified(2, '0').toUpper();
        const QString path = dir_.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(line + "\r\nS9030000FC\r\n");
        return path;
    }

    // Every Com is the simulated board: any click can open its port.
    PortMap BoardMap() const
    {
        const QString path = QString::fromStdString(board_->SlavePath());
        return [path] { return QStringList(ComPortCount, path); };
    }

    Form2 *PortWindow(PortMap map)
    {
        auto *form2 = new Form2(std::move(map), FileSystem::WithLoaderFile(loader_));
        form2->show();
        return form2;
    }

    Form1 *MainWindow(BoardScript script = {})
    {
        board_ = std::make_unique<TargetSim>(script);
        auto *form1 = new Form1(BoardMap(), std::make_shared<const FileSystem>(FileSystem::WithLoaderFile(loader_)));
        form1->PDQComm1().SelectPort(1);
        form1->ShowPortNumber(1);
        form1->SetSFilePath(sFile_);
        form1->show();
        return form1;
    }

    QTemporaryDir dir_;
    QString loader_, sFile_;
    std::unique_ptr<TargetSim> board_;
};

TEST_F(Ui, RightReleaseSelectsThePortAndCancelLetsTheUserClickAgain)
{
    board_ = std::make_unique<TargetSim>();
    QPointer<Form2> form2 = PortWindow(BoardMap());
    QStringList filters;
    QString selected;
    int dialogs = 0;
    WhenModal<QFileDialog>([&](QFileDialog *dialog) {
        ++dialogs;
        filters = dialog->nameFilters();
        selected = dialog->selectedNameFilter();
        dialog->reject();
    });
    QTest::mouseClick(Child<QRadioButton>(form2, "Option1_3"), Qt::RightButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs == 1 && !QApplication::activeModalWidget(); }, 5000));

    EXPECT_EQ(filters, QStringList({"すべてのファイル (*.*)", "モトローラSファイル (*.mot)"}));
    EXPECT_EQ(selected, "モトローラSファイル (*.mot)");
    ASSERT_TRUE(form2 && form2->isVisible());
    EXPECT_EQ(form2->PortNumber(), 4);
    EXPECT_TRUE(Child<QRadioButton>(form2, "Option1_3")->isChecked());
    Form1 *form1 = form2->MainWindow();
    ASSERT_NE(form1, nullptr);
    EXPECT_FALSE(form1->isVisible());
    EXPECT_EQ(Child<QLabel>(form1, "Label1")->text(), "4");
    EXPECT_EQ(form1->PDQComm1().PortNumber(), 4);
    EXPECT_FALSE(form1->PDQComm1().IsOpen());
    EXPECT_TRUE(form1->SFilePath().isEmpty());

    WhenModal<QFileDialog>([&](QFileDialog *dialog) { ++dialogs; dialog->reject(); });
    QTest::mouseClick(Child<QRadioButton>(form2, "Option1_6"), Qt::MiddleButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs == 2 && !QApplication::activeModalWidget(); }, 5000));
    EXPECT_EQ(form2->PortNumber(), 7);
    EXPECT_EQ(form2->MainWindow(), form1);
    EXPECT_EQ(Child<QLabel>(form1, "Label1")->text(), "7");
}

TEST_F(Ui, Com10ChosenWithAFileHandsOverToTheMainWindow)
{
    board_ = std::make_unique<TargetSim>();
    QPointer<Form2> form2 = PortWindow(BoardMap());
    WhenModal<QFileDialog>([&](QFileDialog *dialog) {
        TypeFileAndOpen(dialog, sFile_);
    });
    QTest::mouseClick(Child<QRadioButton>(form2, "Option1_9"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form2.isNull(); }, 5000));

    QPointer<Form1> form1;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *found = qobject_cast<Form1 *>(widget))
            form1 = found;
    ASSERT_TRUE(form1);
    EXPECT_TRUE(form1->isVisible());
    EXPECT_EQ(form1->windowTitle(), "QW735");
    EXPECT_EQ(Child<QLabel>(form1, "Label1")->text(), "10");
    EXPECT_EQ(Child<QLabel>(form1, "Label2")->text(), sFile_);
    EXPECT_EQ(form1->SFilePath(), sFile_);
    EXPECT_EQ(form1->PDQComm1().PortNumber(), 10);
    EXPECT_EQ(Child<QLabel>(form1, "Label1")->toolTip(), "COM10: " + QString::fromStdString(board_->SlavePath()));
}

TEST_F(Ui, KeyboardSelectionChoosesNoPort)
{
    board_ = std::make_unique<TargetSim>();
    QPointer<Form2> form2 = PortWindow(BoardMap());
    auto *option = Child<QRadioButton>(form2, "Option1_0");
    QTest::keyClick(option, Qt::Key_Space);
    EXPECT_TRUE(option->isChecked());
    QTest::keyClick(option, Qt::Key_Down);
    QTest::qWait(200);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(form2->PortNumber(), 0);
    EXPECT_EQ(form2->MainWindow(), nullptr);
}

TEST_F(Ui, PortThatCannotBeOpenedIsReportedWithoutADialog)
{
    QPointer<Form2> form2 = PortWindow([] { return QStringList{"/nonexistent/qw735-tty"}; });
    EXPECT_EQ(Child<QRadioButton>(form2, "Option1_0")->toolTip(), "COM1: /nonexistent/qw735-tty");
    EXPECT_EQ(Child<QLabel>(form2, "Label1_1")->toolTip(), "COM2: no serial device");
    BoxSeen box;
    DismissBox(&box);
    int dialogs = 0;
    WhenModal<QFileDialog>([&](QFileDialog *dialog) { ++dialogs; dialog->reject(); });
    QTest::mouseClick(Child<QRadioButton>(form2, "Option1_0"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return box.count == 1; }, 5000));
    QTest::qWait(200);
    EXPECT_TRUE(box.text.startsWith("Cannot open COM1 (/nonexistent/qw735-tty): ")) << box.text.toStdString();
    EXPECT_EQ(box.title, "QW735");
    EXPECT_EQ(box.icon, QMessageBox::NoIcon);
    EXPECT_EQ(dialogs, 0);
    ASSERT_TRUE(form2 && form2->isVisible());
    EXPECT_EQ(form2->PortNumber(), 0);
}

TEST_F(Ui, ClosingThePortWindowUnloadsTheHiddenMainWindowAndEndsTheProgram)
{
    board_ = std::make_unique<TargetSim>();
    QPointer<Form2> form2 = PortWindow(BoardMap());
    QPointer<Form1> form1;
    const int status = RunProgramLoop([&] {
        WhenModal<QFileDialog>([&](QFileDialog *dialog) {
            dialog->reject();
            // Once the dialog's loop has returned: the user closes the window.
            QTimer::singleShot(50, [&] {
                form1 = form2->MainWindow();
                form2->close();
            });
        });
        QTest::mouseClick(Child<QRadioButton>(form2, "Option1_0"), Qt::LeftButton);
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(form2.isNull());
    EXPECT_TRUE(form1.isNull());
}

TEST_F(Ui, FullWriteEndsInOkWithButtonsDisabledAndProgressMoving)
{
    QPointer<Form1> form1 = MainWindow();
    auto *bar = Child<QProgressBar>(form1, "ProgressBar1");
    auto *write = Child<QPushButton>(form1, "Command1");
    auto *change = Child<QPushButton>(form1, "Command2");
    int enabledDuringWrite = 0, updates = 0, largestValue = 0;
    QList<int> maxima;
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) {
        ++updates;
        enabledDuringWrite += write->isEnabled() + change->isEnabled();
        largestValue = std::max(largestValue, value);
        if (maxima.isEmpty() || maxima.back() != bar->maximum())
            maxima << bar->maximum();
    });
    BoxSeen box;
    DismissBox(&box);
    QTest::mouseClick(write, Qt::LeftButton);

    EXPECT_EQ(box.count, 1);
    EXPECT_EQ(box.text, "O.K.");
    EXPECT_EQ(box.title, "QW735");
    EXPECT_EQ(box.icon, QMessageBox::NoIcon);
    EXPECT_EQ(box.buttons, 1);
    EXPECT_EQ(box.standard, QMessageBox::Ok);
    EXPECT_TRUE(board_->LastWrite().completed);
    const int imageSize = static_cast<int>(board_->LastWrite().imageSize);
    EXPECT_GT(updates, 2);
    EXPECT_EQ(enabledDuringWrite, 0);
    EXPECT_EQ(maxima, QList<int>({40, imageSize}));  // the loader's bytes, then the image's
    EXPECT_EQ(largestValue, imageSize);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_TRUE(write->isEnabled());
    EXPECT_TRUE(change->isEnabled());
    EXPECT_FALSE(form1->PDQComm1().IsOpen());
    EXPECT_EQ(form1->PDQComm1().Settings(), "9600,N,8,1");
}

// Between the loader and the first block the bar keeps the loader's length,
// also when the image is shorter than the loader.
TEST_F(Ui, ProgressKeepsTheLoadersLengthUntilTheFirstBlock)
{
    QPointer<Form1> form1 = MainWindow();
    ProgressDisplay &progress = *form1;
    progress.SetMaximum(200);
    progress.SetValue(200);
    progress.SetMaximum(64);
    EXPECT_EQ(Child<QProgressBar>(form1, "ProgressBar1")->value(), 64);
}

TEST_F(Ui, WriteAfterAFailedImageTransferStartsAt9600Baud)
{
    BoardScript script;
    script.commandReply = 0x15;  // the loader refuses the program command
    script.keepServing = true;
    QPointer<Form1> form1 = MainWindow(script);
    auto *write = Child<QPushButton>(form1, "Command1");
    BoxSeen first;
    DismissBox(&first);
    QTest::mouseClick(write, Qt::LeftButton);
    EXPECT_EQ(first.text, "S File Err ");
    EXPECT_EQ(form1->PDQComm1().Settings(), "9600,N,8,1");
    EXPECT_FALSE(form1->PDQComm1().IsOpen());

    BoxSeen second;
    DismissBox(&second);
    QTest::mouseClick(write, Qt::LeftButton);
    // At 38400 baud the board would not have understood the handshake: "Err 1".
    EXPECT_EQ(second.text, "S File Err ");
    int commands = 0, garbled = 0;
    for (const sim::ReceivedByte &byte : board_->Received()) {
        garbled += byte.garbled;  // sent at a speed the board did not expect
        commands += byte.phase == Phase::Command;
    }
    EXPECT_EQ(garbled, 0);
    EXPECT_EQ(commands, 4);  // "P" 0x00 of each write
    EXPECT_EQ(board_->SettingsSeen().at(Phase::Sync).baud, 9600);
    EXPECT_EQ(form1->PDQComm1().Settings(), "9600,N,8,1");
}

TEST_F(Ui, ChangeFileCancelKeepsTheFileAndOkReplacesIt)
{
    QPointer<Form1> form1 = MainWindow();
    auto *label = Child<QLabel>(form1, "Label2");
    QString selected;
    QStringList allFilesPatterns;
    WhenModal<QFileDialog>([&](QFileDialog *dialog) {
        selected = dialog->selectedNameFilter();
        // The user picks "all files": files without a dot must show too.
        QTest::keyClick(dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo")), Qt::Key_Up);
        allFilesPatterns = dialog->findChild<QFileSystemModel *>()->nameFilters();
        dialog->reject();
    });
    QTest::mouseClick(Child<QPushButton>(form1, "Command2"), Qt::LeftButton);
    EXPECT_EQ(selected, "モトローラSファイル (*.mot)");
    EXPECT_EQ(allFilesPatterns, QStringList{"*"});
    EXPECT_EQ(label->text(), sFile_);
    EXPECT_EQ(form1->SFilePath(), sFile_);

    const QString other = WriteSFile(QStringLiteral("other.mot"), 0x40);
    WhenModal<QFileDialog>([&](QFileDialog *dialog) {
        TypeFileAndOpen(dialog, other);
    });
    QTest::mouseClick(Child<QPushButton>(form1, "Command2"), Qt::LeftButton);
    EXPECT_EQ(label->text(), other);
    EXPECT_EQ(form1->SFilePath(), other);
}

TEST_F(Ui, ClosingTheMainWindowDuringAWriteEndsItAndTheProgramWithoutAMessage)
{
    // The loader never answers the program command: the write would wait 3 s.
    BoardScript script;
    script.commandReply = std::nullopt;
    QPointer<Form1> form1 = MainWindow(script);
    QElapsedTimer sinceClose;
    qint64 writeEndedAfterClose = -1;
    bool portOpenAtClose = false, portOpenAfterWrite = true;
    BoxSeen box;
    DismissBox(&box);  // so that a wrong box fails the test instead of hanging it
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!form1 || !form1->isVisible() || !form1->IsWriting())
            return;
        for (const sim::ReceivedByte &byte : board_->Received()) {
            if (byte.phase == Phase::Command) {  // "P" came: the host now waits for the reply
                portOpenAtClose = form1->PDQComm1().IsOpen();
                sinceClose.start();
                form1->close();
                return;
            }
        }
    });
    watch.start(5);
    const int status = RunProgramLoop([&] {
        QTest::mouseClick(Child<QPushButton>(form1, "Command1"), Qt::LeftButton);
        writeEndedAfterClose = sinceClose.isValid() ? sinceClose.elapsed() : -1;
        portOpenAfterWrite = form1 && form1->PDQComm1().IsOpen();
    });

    EXPECT_EQ(status, 0);
    EXPECT_TRUE(portOpenAtClose);
    EXPECT_GE(writeEndedAfterClose, 0);
    EXPECT_LT(writeEndedAfterClose, 1000);
    EXPECT_FALSE(portOpenAfterWrite);
    EXPECT_EQ(box.count, 0);
    EXPECT_TRUE(form1.isNull());  // deleted once the write had unwound
}

TEST_F(Ui, GeometryIsTheDesignedTwipsAndLabelsUseTheGothicFont)
{
    EXPECT_EQ(TwipsToPixels(5340, 96), 356);
    EXPECT_EQ(TwipsToPixels(1455, 96), 97);
    EXPECT_EQ(TwipsToPixels(1440, 120), 120);

    QPointer<Form1> form1 = MainWindow();
    const double dpi = form1->logicalDpiX();
    EXPECT_EQ(form1->size(), QSize(TwipsToPixels(5340, dpi), TwipsToPixels(645, form1->logicalDpiY())));
    EXPECT_EQ(form1->minimumSize(), form1->maximumSize());
    EXPECT_EQ(Child<QPushButton>(form1, "Command1")->geometry(), TwipsRect(*form1, 4200, 360, 1095, 255));
    EXPECT_EQ(Child<QProgressBar>(form1, "ProgressBar1")->geometry(), TwipsRect(*form1, 900, 360, 3255, 255));
    EXPECT_EQ(Child<QLabel>(form1, "Label3")->text(), "S File:");
    EXPECT_EQ(QFontInfo(Child<QLabel>(form1, "Label3")->font()).family(), "IPAPGothic");
    EXPECT_EQ(Child<QLabel>(form1, "Label4")->text(), "Com:");
    EXPECT_EQ(Child<QPushButton>(form1, "Command2")->text(), "Change File");
    EXPECT_EQ(Child<QPushButton>(form1, "Command1")->text(), "Write");
    // The icon is compiled in, so it is there without an installed theme.
    EXPECT_TRUE(form1->windowIcon().availableSizes().contains(QSize(48, 48)));

    QPointer<Form2> form2 = PortWindow(BoardMap());
    EXPECT_EQ(form2->windowTitle(), "Com");
    EXPECT_TRUE(form2->windowIcon().availableSizes().contains(QSize(48, 48)));
    EXPECT_EQ(form2->size(), QSize(TwipsToPixels(1830, dpi), TwipsToPixels(1455, form2->logicalDpiY())));
    EXPECT_EQ(Child<QGroupBox>(form2, "Frame1")->title(), "ComPort");
    EXPECT_EQ(Child<QRadioButton>(form2, "Option1_5")->geometry(), TwipsRect(*form2, 960, 180, 255, 255));
    for (int index = 0; index < ComPortCount; ++index) {
        auto *label = Child<QLabel>(form2, QStringLiteral("Label1_%1").arg(index));
        EXPECT_EQ(label->text(), QStringLiteral("Com%1").arg(index + 1));
        EXPECT_EQ(label->property("Index").toInt(), index);
        EXPECT_EQ(label->font().family(), "ＭＳ ゴシック");
        EXPECT_EQ(QFontInfo(label->font()).family(), "IPAGothic");
    }
    EXPECT_EQ(Child<QLabel>(form2, "Label1_9")->geometry(), TwipsRect(*form2, 1200, 1140, 495, 195));
}

}  // namespace
