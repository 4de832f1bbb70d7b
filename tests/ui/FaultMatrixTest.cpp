#include "link/PortSettings.h"
#include "tests/support/FaultMatrix.h"
#include "tests/support/WriteFixture.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;

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
    sim::BoardScript script;
    row.script(script);
    sim::TargetSim board(script);
    QTemporaryDir dir;
    const QString device = QString::fromStdString(board.SlavePath());
    const QString loader = WriteFile(dir, QStringLiteral("tqw735.bin"), TestLoader(MatrixLoaderSize));
    const QString mot = WriteFile(dir, QStringLiteral("program.mot"), MatrixProgram);

    std::optional<SerialPort> holder;
    switch (row.setup) {
    case FaultRow::Setup::None: break;
    case FaultRow::Setup::PortBusy:
        holder.emplace();
        holder->SelectDevice(device);
        ASSERT_TRUE(holder->Open());
        break;
    case FaultRow::Setup::LoaderMissing: QFile::remove(loader); break;
    case FaultRow::Setup::LoaderEmpty: WriteFile(dir, QStringLiteral("tqw735.bin"), {}); break;
    case FaultRow::Setup::LoaderTooLarge: WriteFile(dir, QStringLiteral("tqw735.bin"), QByteArray(0x10000, 'x')); break;
    case FaultRow::Setup::SRecordRemoved: QFile::remove(mot); break;
    case FaultRow::Setup::SRecordMalformed: WriteFile(dir, QStringLiteral("program.mot"), MatrixMalformedProgram); break;
    }

    ui::Form1 form1([device] { return QStringList{device}; }, std::make_shared<const FileSystem>(FileSystem::WithLoaderFile(loader)));
    form1.setAttribute(Qt::WA_DeleteOnClose, false);
    form1.PDQComm1().SelectPort(1);
    form1.ShowPortNumber(1);
    form1.SetSFilePath(mot);
    form1.show();

    ResultBox box;
    const auto start = std::chrono::steady_clock::now();
    form1.Command1_Click();

    ASSERT_EQ(box.texts.size(), 1);
    const QString expected = ExpectedMessage(row, form1.PDQComm1().Describe(), mot, loader);
    if (row.messageIsPrefix)
        EXPECT_TRUE(box.texts[0].startsWith(expected)) << box.texts[0].toStdString();
    else
        EXPECT_EQ(box.texts[0], expected);
    if (row.name.starts_with("HangUp"))
        EXPECT_LT(MsSince(start), 1000);

    EXPECT_FALSE(form1.PDQComm1().IsOpen());
    EXPECT_EQ(form1.PDQComm1().Settings(), QString::fromLatin1(BootSettings));
    EXPECT_TRUE(form1.findChild<QPushButton *>(QStringLiteral("Command1"))->isEnabled());
    EXPECT_TRUE(form1.findChild<QPushButton *>(QStringLiteral("Command2"))->isEnabled());
    EXPECT_EQ(form1.findChild<QProgressBar *>(QStringLiteral("ProgressBar1"))->value(), 0);
    // Nothing goes out after the failing step.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(CountedBytes(board.Received()), row.bytesSent);
}

INSTANTIATE_TEST_SUITE_P(Matrix, WindowFaults, ::testing::ValuesIn(FaultRows()),
                         [](const auto &info) { return info.param.name; });

}  // namespace
}  // namespace qw735::test
