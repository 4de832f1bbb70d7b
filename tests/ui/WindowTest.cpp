// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortSettings.h"
#include "tests/support/FaultMatrix.h"
#include "tests/support/HostFixture.h"
#include "tests/support/Process.h"
#include "ui/Form1.h"
#include "ui/Form2.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace qw735;
using namespace qw735::test;
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

// Calls `act` with the first modal widget of type T to come up (with every
// one, when `each`), from a timer (timers also fire inside a dialog's loop
// and inside a write's waits).
template <class T>
void WhenModal(std::function<void(T *)> act, bool each = false)
{
    auto *timer = new QTimer(Watchers());
    QObject::connect(timer, &QTimer::timeout, [timer, act, each] {
        if (auto *widget = qobject_cast<T *>(QApplication::activeModalWidget())) {
            if (!each) {
                timer->stop();
                timer->deleteLater();
            }
            act(widget);
        }
    });
    timer->start(5);
}

// Presses OK on every message box that comes up, and keeps what the last
// one showed.
struct Boxes {
    int count = 0;
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::Warning;
    bool onlyOk = false;  // a single button, OK
    Boxes()
    {
        WhenModal<QMessageBox>([this](QMessageBox *box) {
            ++count;
            text = box->text();
            title = box->windowTitle();
            icon = box->icon();
            onlyOk = box->buttons().size() == 1 && box->standardButtons() == QMessageBox::Ok;
            box->button(QMessageBox::Ok)->click();
        }, true);
    }
};

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
        loader_ = WriteFile(dir_, QStringLiteral("tqw735.bin"), TestLoader(MatrixLoaderSize));
        sFile_ = WriteFile(dir_, QStringLiteral("first.mot"), MatrixProgram);
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

    // By default every Com is a simulated board: any click can open its port.
    Form2 *PortWindow(PortMap map = {})
    {
        if (!map) {
            board_ = std::make_unique<TargetSim>();
            map = [path = QString::fromStdString(board_->SlavePath())] { return QStringList(ComPortCount, path); };
        }
        auto *form2 = new Form2(std::move(map), FileSystem::WithLoaderFile(loader_));
        form2->show();
        return form2;
    }

    // The main window on a board of its own, or on `device` with these files.
    Form1 *MainWindow(BoardScript script = {}, QString device = {}, const QString &loader = {}, const QString &mot = {})
    {
        if (device.isEmpty()) {
            board_ = std::make_unique<TargetSim>(script);
            device = QString::fromStdString(board_->SlavePath());
        }
        auto *form1 = new Form1([device] { return QStringList{device}; },
                                std::make_shared<const FileSystem>(FileSystem::WithLoaderFile(loader.isEmpty() ? loader_ : loader)));
        form1->PDQComm1().SelectPort(1);
        form1->SetSFilePath(mot.isEmpty() ? sFile_ : mot);
        form1->show();
        return form1;
    }

    QTemporaryDir dir_;
    QString loader_, sFile_;
    std::unique_ptr<TargetSim> board_;
};

// Any mouse button chooses a port; a cancelled dialog leaves the user on the
// port window to click again; a file chosen hands over to the main window.
TEST_F(Ui, ClicksChooseThePortAndAFileHandsOver)
{
    QPointer<Form2> form2 = PortWindow();
    EXPECT_EQ(form2->windowTitle(), "Com");
    EXPECT_EQ(Child<QLabel>(form2, "Label1_9")->text(), "Com10");
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
    QPointer<Form1> form1 = form2->MainWindow();
    ASSERT_TRUE(form1);
    EXPECT_FALSE(form1->isVisible());
    // Both windows carry the program's icon, whatever the desktop finds.
    EXPECT_FALSE(form2->windowIcon().availableSizes().isEmpty());
    EXPECT_FALSE(form1->windowIcon().availableSizes().isEmpty());
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

    WhenModal<QFileDialog>([&](QFileDialog *dialog) { TypeFileAndOpen(dialog, sFile_); });
    QTest::mouseClick(Child<QRadioButton>(form2, "Option1_9"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form2.isNull(); }, 5000));
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
    QPointer<Form2> form2 = PortWindow();
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
    Boxes box;
    int dialogs = 0;
    WhenModal<QFileDialog>([&](QFileDialog *dialog) { ++dialogs; dialog->reject(); });
    QTest::mouseClick(Child<QRadioButton>(form2, "Option1_0"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return box.count == 1; }, 5000));
    QTest::qWait(200);
    EXPECT_TRUE(box.text.startsWith("Cannot open COM1 (/nonexistent/qw735-tty): ")) << box.text.toStdString();
    EXPECT_EQ(dialogs, 0);
    ASSERT_TRUE(form2 && form2->isVisible());
    EXPECT_EQ(form2->PortNumber(), 0);
}

// Both windows refuse the system console before they open it: the port
// window's try of a Com, and the main window's write. Run only by
// RefusesTheConsoleInBothWindows, in a mount namespace of its own whose
// console list names the board's pseudo-terminal ($QW735_TEST_CONSOLE).
TEST_F(Ui, DISABLED_RefusesTheConsoleInItsNamespace)
{
    const QString device = qEnvironmentVariable("QW735_TEST_CONSOLE");
    ASSERT_FALSE(device.isEmpty());
    const QString refusal = "Cannot open COM1 (" + device
                            + "): it is the system console (the kernel's messages and logins go there), not a board's serial port";
    QPointer<Form2> form2 = PortWindow([device] { return QStringList{device}; });
    Boxes box;
    int dialogs = 0;
    WhenModal<QFileDialog>([&](QFileDialog *dialog) { ++dialogs; dialog->reject(); });
    QTest::mouseClick(Child<QRadioButton>(form2, "Option1_0"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return box.count == 1; }, 5000));
    EXPECT_EQ(box.text, refusal);
    EXPECT_EQ(dialogs, 0);
    EXPECT_EQ(form2->PortNumber(), 0);

    Form1 &form1 = *MainWindow({}, device);
    form1.Command1_Click();
    EXPECT_EQ(box.count, 2);
    EXPECT_EQ(box.text, refusal);
    EXPECT_TRUE(Child<QPushButton>(&form1, "Command1")->isEnabled());
}

TEST_F(Ui, RefusesTheConsoleInBothWindows)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a mount namespace needs root";
    const TargetSim board;
    const QString device = QString::fromStdString(board.SlavePath());
    struct stat info {};
    ASSERT_EQ(::stat(board.SlavePath().c_str(), &info), 0);
    const QString consoles = WriteFile(dir_, QStringLiteral("consoles"),
                                       QStringLiteral("%1  -W- (EC p a)  %2:%3\n")
                                           .arg(device.mid(5))
                                           .arg(major(info.st_rdev))
                                           .arg(minor(info.st_rdev))
                                           .toLatin1());
    const ProcessRun run = RunProcess(
        {"env", "QW735_TEST_CONSOLE=" + device, "unshare", "--mount", "--propagation", "private", "sh", "-c",
         R"(mount --bind "$0" /proc/consoles && exec "$1" --gtest_also_run_disabled_tests --gtest_filter=Ui.DISABLED_RefusesTheConsoleInItsNamespace)",
         consoles, QCoreApplication::applicationFilePath()});
    EXPECT_EQ(run.status, 0) << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("[  PASSED  ] 1 test.")) << run.out.toStdString();
    EXPECT_TRUE(board.Received().empty());
}

TEST_F(Ui, ClosingThePortWindowUnloadsTheHiddenMainWindowAndEndsTheProgram)
{
    QPointer<Form2> form2 = PortWindow();
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

// Between the loader and the first block the bar keeps the loader's length,
// also when the image is shorter than the loader.
TEST_F(Ui, ProgressKeepsTheLoadersLengthUntilTheFirstBlock)
{
    QPointer<Form1> form1 = MainWindow();
    ProgressDisplay &progress = *form1;
    progress.SetMaximum(ProgressStage::Loader, 200);
    progress.SetValue(200);
    progress.SetMaximum(ProgressStage::Image, 64);
    EXPECT_EQ(Child<QProgressBar>(form1, "ProgressBar1")->value(), 64);
}

TEST_F(Ui, ChangeFileCancelKeepsTheFileAndOkReplacesIt)
{
    QPointer<Form1> form1 = MainWindow();
    auto *label = Child<QLabel>(form1, "Label2");
    QStringList allFilesPatterns;
    WhenModal<QFileDialog>([&](QFileDialog *dialog) {
        // The user picks "all files": files without a dot must show too.
        QTest::keyClick(dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo")), Qt::Key_Up);
        allFilesPatterns = dialog->findChild<QFileSystemModel *>()->nameFilters();
        dialog->reject();
    });
    QTest::mouseClick(Child<QPushButton>(form1, "Command2"), Qt::LeftButton);
    EXPECT_EQ(allFilesPatterns, QStringList{"*"});
    EXPECT_EQ(label->text(), sFile_);
    EXPECT_EQ(form1->SFilePath(), sFile_);

    const QString other = WriteFile(dir_, QStringLiteral("other.mot"), MatrixProgram);
    WhenModal<QFileDialog>([&](QFileDialog *dialog) { TypeFileAndOpen(dialog, other); });
    QTest::mouseClick(Child<QPushButton>(form1, "Command2"), Qt::LeftButton);
    EXPECT_EQ(label->text(), other);
    EXPECT_EQ(form1->SFilePath(), other);
}

TEST_F(Ui, ClosingTheMainWindowDuringAWriteEndsItAndTheProgramWithoutAMessage)
{
    // The loader never answers the program command: the write would wait 3 s.
    QPointer<Form1> form1 = MainWindow(Script([](auto &s) { s.commandReply.reset(); }));
    QElapsedTimer sinceClose;
    qint64 writeEndedAfterClose = -1;
    bool portOpenAtClose = false, portOpenAfterWrite = true;
    Boxes box;  // so that a wrong box fails the test instead of hanging it
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

class WindowFaults : public Ui, public ::testing::WithParamInterface<FaultRow> {};

// The main window faces every fault the command line does: the same message
// in a box of its own kind, the buttons disabled while the bar moves, and
// afterwards an idle window ready for the next write.
TEST_P(WindowFaults, EndInTheirMessageAndAnIdleWindow)
{
    const FaultRow &row = GetParam();
    FaultStage stage(row);
    Form1 &form1 = *MainWindow({}, stage.device, stage.loader, stage.mot);
    auto *bar = Child<QProgressBar>(&form1, "ProgressBar1");
    auto *write = Child<QPushButton>(&form1, "Command1");
    auto *change = Child<QPushButton>(&form1, "Command2");
    int enabledWhileMoving = 0, largest = 0;
    QList<int> maxima;
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) {
        if (value == 0)
            return;  // the idle window's reset
        enabledWhileMoving += write->isEnabled() + change->isEnabled();
        largest = std::max(largest, value);
        if (maxima.isEmpty() || maxima.back() != bar->maximum())
            maxima << bar->maximum();
    });

    Boxes box;
    const auto start = std::chrono::steady_clock::now();
    const auto cpuBefore = ProcessCpuTime();
    form1.Command1_Click();
    const double ms = MsSince(start);
    const auto cpu = ProcessCpuTime() - cpuBefore;

    ASSERT_EQ(box.count, 1);
    stage.ExpectEnding(box.text, form1.PDQComm1().Describe());
    EXPECT_EQ(box.title, "QW735");
    EXPECT_EQ(box.icon, QMessageBox::NoIcon);
    EXPECT_TRUE(box.onlyOk);
    EXPECT_GE(ms, row.time.atLeastMs);
    EXPECT_LT(ms, row.time.belowMs);
    EXPECT_LT(cpu, std::chrono::milliseconds(row.time.cpuBelowMs));
    EXPECT_EQ(enabledWhileMoving, 0);
    if (row.message == u"O.K.") {  // the loader's bytes, then the image's
        EXPECT_EQ(maxima, QList<int>({row.loaderSize, MatrixBlocks * 64}));
        EXPECT_EQ(largest, MatrixBlocks * 64);
    }

    EXPECT_FALSE(form1.PDQComm1().IsOpen());
    EXPECT_EQ(form1.PDQComm1().Settings(), BootSettings());
    EXPECT_TRUE(write->isEnabled());
    EXPECT_TRUE(change->isEnabled());
    EXPECT_EQ(bar->value(), 0);
}

INSTANTIATE_TEST_SUITE_P(Matrix, WindowFaults, ::testing::ValuesIn(FaultRows(FrontEnd::Window)),
                         [](const auto &info) { return info.param.name; });

}  // namespace
