// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortSettings.h"
#include "tests/support/FaultMatrix.h"
#include "tests/support/WriteFixture.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace qw735::test {
namespace {


// Presses OK on the next result box and keeps what it showed.
struct ResultBox {
    QStringList texts;
    QTimer timer;
    ResultBox()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        timer.start(5);
    }
};

class WindowFaults : public ::testing::TestWithParam<FaultRow> {};

// The main window faces every fault the command line does: the same message
// in its box, and afterwards an idle window ready for the next write.
TEST_P(WindowFaults, EndInTheirMessageAndAnIdleWindow)
{
    const FaultRow &row = GetParam();
    FaultStage stage(row);
    const QString device = stage.device;

    ui::Form1 form1([device] { return QStringList{device}; }, std::make_shared<const FileSystem>(FileSystem::WithLoaderFile(stage.loader)));
    form1.setAttribute(Qt::WA_DeleteOnClose, false);
    form1.PDQComm1().SelectPort(1);
    form1.ShowPortNumber(1);
    form1.SetSFilePath(stage.mot);
    form1.show();

    ResultBox box;
    const auto start = std::chrono::steady_clock::now();
    const auto cpuBefore = ProcessCpuTime();
    form1.Command1_Click();

    ASSERT_EQ(box.texts.size(), 1);
    stage.ExpectMessage(box.texts[0], form1.PDQComm1().Describe());
    // An unplugged adapter ends the write at once, not after a time limit,
    // and without the driver's repeated errors keeping the CPU busy.
    if (row.name.starts_with("HangUp")) {
        EXPECT_LT(MsSince(start), 1000);
        EXPECT_LT(ProcessCpuTime() - cpuBefore, std::chrono::milliseconds(500));
    }

    EXPECT_FALSE(form1.PDQComm1().IsOpen());
    EXPECT_EQ(form1.PDQComm1().Settings(), QString::fromLatin1(BootSettings));
    EXPECT_TRUE(form1.findChild<QPushButton *>(QStringLiteral("Command1"))->isEnabled());
    EXPECT_TRUE(form1.findChild<QPushButton *>(QStringLiteral("Command2"))->isEnabled());
    EXPECT_EQ(form1.findChild<QProgressBar *>(QStringLiteral("ProgressBar1"))->value(), 0);
    stage.ExpectNothingSentAfterTheFailure();
    stage.ExpectTheProgramWhenWritten();
}

INSTANTIATE_TEST_SUITE_P(Matrix, WindowFaults, ::testing::ValuesIn(FaultRows(FrontEnd::Window)),
                         [](const auto &info) { return info.param.name; });

}  // namespace
}  // namespace qw735::test
