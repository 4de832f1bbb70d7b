// SPDX-License-Identifier: GPL-2.0-or-later
#include "station/SlotTile.h"
#include "station/StationWindow.h"
#include "tests/support/FaultMatrix.h"
#include "production/DatabaseRecords.h"
#include "tests/support/HostFixture.h"
#include "tests/support/PgServer.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <cstdio>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;
using station::SlotTile;
using station::StationWindow;

QByteArray Sha256(const QString &path)
{
    return QCryptographicHash::hash(ReadFile(path), QCryptographicHash::Sha256).toHex();
}

// A station on the test's own slots: a folder where each board's
// pseudo-terminal is linked in as udev links a plugged adapter (a slot may
// be any folder), a job that names the slots, and the shift's counts in a
// state folder of the test's.
class Station : public testing::Test {
protected:
    Station()
    {
        QDir(dir.path()).mkpath(QStringLiteral("by-path"));
        program = WriteFile(dir, QStringLiteral("p.mot"), "S1130000000102030405060708090A0B0C0D0E0F74\n");
        loader = WriteFile(dir, QStringLiteral("tqw735.bin"), TestLoader(40));
    }

    QString SlotPath(int slot) const { return dir.filePath(QStringLiteral("by-path/slot%1").arg(slot)); }
    QString CountsPath() const { return dir.filePath(QStringLiteral("state/qw735/station.json")); }
    QString ReportPath() const { return dir.filePath(QStringLiteral("records.jsonl")); }

    // A job file for `slotCount` slots: their paths under "ports" (Start all)
    // or "slots" (boards written as they are plugged in).
    QString Job(int slotCount, const char *key = "ports", const QByteArray &extra = {}, const QString &name = QStringLiteral("job.toml"))
    {
        QByteArray list;
        for (int slot = 0; slot < slotCount; ++slot)
            list += (slot ? ", \"" : "\"") + QFile::encodeName(SlotPath(slot)) + '"';
        return WriteFile(dir, name,
                         "program = \"p.mot\"\nprogram_sha256 = \"" + Sha256(program) + "\"\nloader = \"tqw735.bin\"\nloader_sha256 = \"" +
                             Sha256(loader) + "\"\nreport = \"records.jsonl\"\n" + key + " = [" + list + "]\n" + extra);
    }
    void Plug(int slot, const sim::TargetSim &board)
    {
        const QByteArray temporary = QFile::encodeName(dir.filePath(QStringLiteral("by-path/.#slot%1").arg(slot)));
        ASSERT_EQ(::symlink(board.SlavePath().c_str(), temporary.constData()), 0);
        ASSERT_EQ(::rename(temporary.constData(), QFile::encodeName(SlotPath(slot)).constData()), 0);
    }
    void Unplug(int slot) { ASSERT_EQ(::unlink(QFile::encodeName(SlotPath(slot)).constData()), 0); }

    std::unique_ptr<StationWindow> Window()
    {
        auto window = std::make_unique<StationWindow>(CountsPath());
        window->SetAsk([this](const QString &question) {
            asked << question;
            return answer;
        });
        window->SetSettle(50ms);
        QObject::connect(window.get(), &StationWindow::BoardEnded, [this](int slot) { ended << slot; });
        current = window.get();
        return window;
    }
    bool EndsReach(int count, std::chrono::milliseconds limit = 15s)
    {
        return PumpUntil([&] { return ended.size() >= count && current->RecordsKept(); }, limit);
    }
    std::vector<QJsonObject> Records() const
    {
        std::vector<QJsonObject> lines;
        for (const QByteArray &line : ReadFile(ReportPath()).split('\n')) {
            if (!line.isEmpty())
                lines.push_back(QJsonDocument::fromJson(line).object());
        }
        return lines;
    }

    QTemporaryDir dir;
    QString program, loader;
    QStringList asked;
    bool answer = true;
    QList<int> ended;
    StationWindow *current = nullptr;  // the last window made
};

sim::BoardScript Serving()
{
    return Script([](sim::BoardScript &s) { s.keepServing = true; });
}
sim::BoardScript Silent()
{
    return Script([](sim::BoardScript &s) {
        s.syncAfterZeros = 0;
        s.keepServing = true;
    });
}
// A board that takes as long as a cable would: long enough to act on while
// it is written.
sim::BoardScript Slow()
{
    return Script([](sim::BoardScript &s) {
        s.modelWireTime = s.lightWireTime = true;
        s.keepServing = true;
    });
}

// Four slots, two boards that pass, one that fails and an empty slot: Start
// all, from the keyboard, writes the three; the tiles say PASS and FAIL in
// words, the failure its message; the failed board is written again from
// its tile.
TEST_F(Station, StartAllWritesEveryBoardPresentAndAFailedOneAgainFromItsTile)
{
    sim::TargetSim good1(Serving()), good2(Serving()), bad(Silent());
    Plug(0, good1);
    Plug(1, good2);
    Plug(2, bad);
    auto window = Window();
    ASSERT_TRUE(window->OpenJob(Job(4)));
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ASSERT_EQ(window->SlotCount(), 4);
    EXPECT_EQ(window->Tile(0)->StateText(), "Board present");
    EXPECT_EQ(window->Tile(3)->StateText(), "Empty");

    QTest::keyClick(window->windowHandle(), Qt::Key_S, Qt::AltModifier);
    ASSERT_TRUE(EndsReach(3));
    for (int slot : {0, 1}) {
        EXPECT_EQ(window->Tile(slot)->TileState(), SlotTile::State::Pass);
        EXPECT_EQ(window->Tile(slot)->ResultText(), "PASS");
        EXPECT_EQ(window->Tile(slot)->MessageText(), "");
        EXPECT_FALSE(window->Tile(slot)->RetryButton()->isEnabled());
    }
    EXPECT_EQ(window->Tile(2)->ResultText(), "FAIL");
    EXPECT_EQ(window->Tile(2)->MessageText(), "Err 1");
    // The large words whole, at the desktop's scale (run again at 2).
    EXPECT_EQ(window->devicePixelRatio(), qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble());
    for (int slot : {0, 2})
        EXPECT_GE(window->Tile(slot)->ResultLabel()->width(), window->Tile(slot)->ResultLabel()->sizeHint().width());
    EXPECT_TRUE(window->Tile(2)->TimeText().startsWith(QStringLiteral("Time: ")));
    EXPECT_EQ(window->Tile(3)->TileState(), SlotTile::State::Empty);
    EXPECT_EQ(window->Tile(3)->ResultText(), "");
    EXPECT_EQ(window->TotalsText(), "Shift: 2 passed, 1 failed, yield 66.7%");
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(good1.LastWrite().image.data()), 16), QByteArray::fromHex("000102030405060708090A0B0C0D0E0F"));

    const auto lines = Records();
    ASSERT_EQ(lines.size(), 3u);
    QStringList messages;
    for (const QJsonObject &line : lines) {
        messages << line.value(QLatin1String("message")).toString();
        EXPECT_EQ(line.value(QLatin1String("job_sha256")).toString().toLatin1(), Sha256(dir.filePath(QStringLiteral("job.toml"))));
        EXPECT_FALSE(line.contains(QLatin1String("auto")));
    }
    messages.sort();
    EXPECT_EQ(messages, QStringList({QStringLiteral("Err 1"), QStringLiteral("O.K."), QStringLiteral("O.K.")}));

    // The board reseated (a new one here), then its tile's Retry.
    Unplug(2);
    sim::TargetSim reseated(Serving());
    Plug(2, reseated);
    window->Tile(2)->RetryButton()->click();
    ASSERT_TRUE(EndsReach(4));
    EXPECT_EQ(window->Tile(2)->ResultText(), "PASS");
    EXPECT_EQ(window->Tile(2)->CountsText(), "Passed 1, failed 1");
    EXPECT_EQ(window->TotalsText(), "Shift: 3 passed, 1 failed, yield 75.0%");
    EXPECT_EQ(Records().size(), 4u);
}

// Automatic, from the keyboard: boards are written as they are plugged in,
// once each; a label scanned goes into the next board's record and is
// refused the second time; the counts outlive the window until reset.
TEST_F(Station, AutomaticWritesBoardsAsPluggedWithTheirLabelsAndTheCountsOutliveTheWindow)
{
    const QString job = Job(2, "slots");
    {
        auto window = Window();
        ASSERT_TRUE(window->OpenJob(job));
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window->windowHandle(), Qt::Key_A, Qt::AltModifier);
        // A mnemonic clicks as a mouse does, its release a moment later.
        ASSERT_TRUE(PumpUntil([&] { return window->AutomaticBox()->isChecked(); }, 1s)) << window->StatusText().toStdString();
        EXPECT_FALSE(window->StartAllButton()->isEnabled());
        QTest::keyClick(window->windowHandle(), Qt::Key_N, Qt::AltModifier);
        ASSERT_TRUE(window->ScanField()->hasFocus());
        QTest::keyClicks(window->ScanField(), QStringLiteral("LBL-0001"));
        QTest::keyClick(window->ScanField(), Qt::Key_Return);
        EXPECT_EQ(window->ScanMessage(), "Label LBL-0001 goes to the next board written");

        sim::TargetSim first(Serving()), second(Serving()), failing(Silent());
        Plug(0, first);
        ASSERT_TRUE(EndsReach(1));
        EXPECT_EQ(window->Tile(0)->ResultText(), "PASS");
        EXPECT_EQ(window->Tile(0)->LabelText(), "Label: LBL-0001");
        EXPECT_EQ(window->ScanMessage(), "Label LBL-0001 went to " + SlotPath(0));
        // Left plugged, it is not written again.
        EXPECT_FALSE(EndsReach(2, 700ms));

        QTest::keyClicks(window->ScanField(), QStringLiteral("LBL-0001"));
        QTest::keyClick(window->ScanField(), Qt::Key_Return);
        EXPECT_EQ(window->ScanMessage(), "Label LBL-0001 was scanned before in this shift: refused");

        Unplug(0);
        Plug(0, second);
        Plug(1, failing);
        ASSERT_TRUE(EndsReach(3));
        EXPECT_EQ(window->Tile(1)->ResultText(), "FAIL");
        EXPECT_EQ(window->Tile(1)->MessageText(), "Err 1");

        const auto lines = Records();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].value(QLatin1String("label")).toString(), "LBL-0001");
        EXPECT_EQ(lines[0].value(QLatin1String("slot")).toString(), SlotPath(0));
        EXPECT_TRUE(lines[0].value(QLatin1String("auto")).toBool());
        EXPECT_FALSE(lines[1].contains(QLatin1String("label")));
        QTest::keyClick(window->windowHandle(), Qt::Key_A, Qt::AltModifier);
        EXPECT_TRUE(PumpUntil([&] { return !window->AutomaticBox()->isChecked(); }, 1s));
    }
    // A restart: the same counts, the same labels refused, until reset.
    auto window = Window();
    ASSERT_TRUE(window->OpenJob(job));
    EXPECT_EQ(window->TotalsText(), "Shift: 2 passed, 1 failed, yield 66.7%");
    EXPECT_EQ(window->Tile(0)->CountsText(), "Passed 2, failed 0");
    EXPECT_EQ(window->Tile(1)->CountsText(), "Passed 0, failed 1");
    window->Scan(QStringLiteral("LBL-0001"));
    EXPECT_EQ(window->ScanMessage(), "Label LBL-0001 was scanned before in this shift: refused");
    window->ResetCounts();
    EXPECT_EQ(window->TotalsText(), "Shift: 0 passed, 0 failed, yield 0.0%");
    window->Scan(QStringLiteral("LBL-0001"));
    EXPECT_EQ(window->ScanMessage(), "Label LBL-0001 goes to the next board written");
}

// Nothing that changes what is written can be edited in the window; another
// job is refused while boards are written, and replaces this one only once
// the operator agrees.
TEST_F(Station, TheJobIsLockedAndAnotherIsRefusedWhileWriting)
{
    WriteFile(dir, QStringLiteral("serial.txt"), "1000\n");
    const QString job = Job(1, "ports", "[numbering]\naddress = 0x80\nformat = \"u32le\"\nsource = \"counter:serial.txt\"\n");
    const QString other = Job(1, "ports", {}, QStringLiteral("other.toml"));
    auto window = Window();
    ASSERT_TRUE(window->OpenJob(job));
    EXPECT_EQ(window->JobTexts(), QStringList({QStringLiteral("Job: job.toml"), QStringLiteral("Program: p.mot"),
                                               QStringLiteral("SHA-256: ") + QString::fromLatin1(Sha256(program).left(12)),
                                               QStringLiteral("Numbering: u32le at 0x80 from counter:") + dir.filePath(QStringLiteral("serial.txt"))}));
    for (QLineEdit *field : window->findChildren<QLineEdit *>())
        EXPECT_EQ(field, window->ScanField());
    EXPECT_TRUE(window->findChildren<QAbstractSpinBox *>().isEmpty());
    EXPECT_TRUE(window->findChildren<QComboBox *>().isEmpty());
    EXPECT_TRUE(window->findChildren<QTextEdit *>().isEmpty());
    EXPECT_TRUE(window->findChildren<QPlainTextEdit *>().isEmpty());

    sim::TargetSim board(Slow());
    Plug(0, board);
    window->StartAll();
    ASSERT_TRUE(PumpUntil([&] { return window->Tile(0)->TileState() == SlotTile::State::Writing && !board.Received().empty(); }, 5s));
    const auto refused = window->OpenJob(other);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "Boards are being written: the job cannot change until they are done");
    EXPECT_TRUE(asked.isEmpty());
    ASSERT_TRUE(EndsReach(1, 20s));
    EXPECT_EQ(window->Tile(0)->ResultText(), "PASS");
    EXPECT_EQ(window->Tile(0)->SerialText(), "Serial: 1000");
    EXPECT_EQ(Records().at(0).value(QLatin1String("serial")).toString(), "1000");

    answer = false;
    const auto kept = window->OpenJob(other);
    ASSERT_FALSE(kept);
    EXPECT_EQ(kept.error(), "The job job.toml stays open");
    EXPECT_EQ(asked, QStringList{QStringLiteral("Replace the job job.toml with other.toml?")});
    answer = true;
    ASSERT_TRUE(window->OpenJob(other));
    EXPECT_EQ(window->JobTexts().at(0), "Job: other.toml");
    EXPECT_EQ(window->JobTexts().at(3), "Numbering: none");

    // Records on standard output are for scripts; a window has none.
    QByteArray text = ReadFile(other);
    text.replace("report = \"records.jsonl\"", "report = \"-\"");
    const QString toStdout = WriteFile(dir, QStringLiteral("stdout.toml"), text);
    const auto refusedReport = window->OpenJob(toStdout);
    ASSERT_FALSE(refusedReport);
    EXPECT_EQ(refusedReport.error(), "Job file " + toStdout + ": report: the station window keeps records in a file or a database, not in -");
}

// Closing during a write asks; refused, the write goes on; agreed, every
// board stops in its wait, closes its port, and has its record.
TEST_F(Station, ClosingDuringAWriteAsksAndStopsTheBoardsCleanly)
{
    sim::TargetSim board(Slow());
    Plug(0, board);
    auto window = Window();
    ASSERT_TRUE(window->OpenJob(Job(1)));
    window->show();
    window->StartAll();
    ASSERT_TRUE(PumpUntil([&] { return board.Received().size() > 20; }, 5s));
    answer = false;
    window->close();
    EXPECT_EQ(asked, QStringList{QStringLiteral("Boards are being written. Stop them and close?")});
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->Writing());
    answer = true;
    const auto start = std::chrono::steady_clock::now();
    window->close();
    ASSERT_TRUE(PumpUntil([&] { return !window->isVisible() && ended.size() == 1 && window->RecordsKept(); }, 3s));
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_TRUE(PortIsFree(QString::fromStdString(board.SlavePath())));
    const auto lines = Records();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].value(QLatin1String("message")).toString().startsWith(QStringLiteral("stopped ")));
    EXPECT_EQ(window->Tile(0)->ResultText(), "FAIL");
}

// Closing once the boards are done waits for their records, which another
// program holding the report file's lock has kept waiting.
TEST_F(Station, ClosingKeepsTheRecordsStillWaiting)
{
    sim::TargetSim board(Serving());
    Plug(0, board);
    auto window = Window();
    ASSERT_TRUE(window->OpenJob(Job(1)));
    window->show();
    const int holder = ::open(QFile::encodeName(ReportPath()).constData(), O_RDWR);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    window->StartAll();
    ASSERT_TRUE(PumpUntil([&] { return ended.size() == 1; }, 10s));
    window->close();
    EXPECT_FALSE(PumpUntil([&] { return !window->isVisible(); }, 300ms));
    ::close(holder);
    ASSERT_TRUE(PumpUntil([&] { return !window->isVisible(); }, 3s));
    ASSERT_EQ(Records().size(), 1u);
    EXPECT_EQ(Records()[0].value(QLatin1String("message")).toString(), "O.K.");
}

// A record that cannot be kept turns the status bar red with the reason.
TEST_F(Station, ARecordNotKeptTurnsTheStatusBarRed)
{
    sim::TargetSim board(Serving());
    Plug(0, board);
    const QString job = Job(1);
    QByteArray text = ReadFile(job);
    text.replace("report = \"records.jsonl\"", "report = \"/dev/full\"");
    WriteFile(dir, QStringLiteral("job.toml"), text);
    auto window = Window();
    ASSERT_TRUE(window->OpenJob(job));
    EXPECT_FALSE(window->StatusIsAlarm());
    window->StartAll();
    ASSERT_TRUE(EndsReach(1));
    // Told from the record's thread, a moment later.
    EXPECT_TRUE(PumpUntil([&] { return window->StatusIsAlarm(); }, 2s));
    EXPECT_EQ(window->StatusText(), "Cannot write the report file /dev/full: No space left on device");
    EXPECT_EQ(window->Tile(0)->ResultText(), "PASS");
}

// A job whose records go to the line's database: each board's row there,
// with the label scanned for it; a server gone meanwhile leaves the records
// in the spool, said plainly, not as a record lost.
TEST_F(Station, KeepsRecordsInTheLinesDatabase)
{
    QW735_PG_SERVER(server);
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("state"))));
    const QString url = QString::fromStdString(server.Url());
    ASSERT_TRUE(InitDatabase(url));
    sim::TargetSim board(Serving());
    Plug(0, board);
    const QString job = Job(1);
    QByteArray text = ReadFile(job);
    text.replace("report = \"records.jsonl\"", "report = \"" + url.toUtf8() + "\"");
    WriteFile(dir, QStringLiteral("job.toml"), text);
    auto window = Window();
    ASSERT_TRUE(window->OpenJob(job));
    window->Scan(QStringLiteral("LBL-0001"));
    window->StartAll();
    ASSERT_TRUE(EndsReach(1));
    EXPECT_EQ(server.Query("SELECT message || ' ' || (record->>'label') FROM qw735_records"), "O.K. LBL-0001\n");
    EXPECT_FALSE(window->StatusIsAlarm());

    server.Stop();
    window->StartAll();
    ASSERT_TRUE(EndsReach(2));
    EXPECT_TRUE(PumpUntil([&] { return window->StatusText().contains(QStringLiteral("spool")); }, 10s)) << window->StatusText().toStdString();
    EXPECT_FALSE(window->StatusIsAlarm());
    EXPECT_EQ(window->Tile(0)->ResultText(), "PASS");
    qunsetenv("XDG_STATE_HOME");
}

int OpenDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

long ResidentKiB()
{
    for (const QByteArray &line : ReadFile(QStringLiteral("/proc/self/status")).split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// The soak: 200 boards through the window in automatic mode, four slots
// plugged together fifty times, one board in four that never answers, each
// a fresh simulated board unplugged once it is done. The descriptors and
// the memory stay flat, and the counts are the records. Run by hand
// (--gtest_also_run_disabled_tests --gtest_filter=*Soak*); it prints its
// figures.
TEST_F(Station, DISABLED_SoakTwoHundredBoardsInAutomatic)
{
    constexpr int Rounds = 50;
    constexpr int Slots = 4;
    auto window = Window();
    ASSERT_TRUE(window->OpenJob(Job(Slots, "slots")));
    window->SetAutomatic(true);
    ASSERT_TRUE(window->AutomaticBox()->isChecked());
    int earlyFds = 0, lateFds = 0;
    long earlyRss = 0, lateRss = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < Rounds; ++round) {
        std::vector<std::unique_ptr<sim::TargetSim>> boards;
        for (int slot = 0; slot < Slots; ++slot) {
            boards.push_back(std::make_unique<sim::TargetSim>(slot == round % Slots ? Silent() : Serving()));
            Plug(slot, *boards.back());
        }
        ASSERT_TRUE(EndsReach((round + 1) * Slots, 30s)) << "round " << round;
        for (int slot = 0; slot < Slots; ++slot)
            Unplug(slot);
        // Each slot sees its board go before the next is plugged.
        ASSERT_TRUE(PumpUntil([&] {
            for (int slot = 0; slot < Slots; ++slot) {
                if (window->Tile(slot)->TileState() != SlotTile::State::Empty)
                    return false;
            }
            return true;
        }, 5s));
        boards.clear();
        const int fds = OpenDescriptors();
        const long rss = ResidentKiB();
        if (round < 5) {
            earlyFds = std::max(earlyFds, fds);
            earlyRss = std::max(earlyRss, rss);
        } else if (round >= Rounds - 5) {
            lateFds = std::max(lateFds, fds);
            lateRss = std::max(lateRss, rss);
        }
    }
    const double seconds = MsSince(start) / 1000;
    window->SetAutomatic(false);
    const int records = static_cast<int>(Records().size());
    const std::string totals = window->TotalsText().toStdString();
    std::printf("writes %d  records %d  %s  elapsed %.1f s\n"
                "writes 1-20:    descriptors at most %d, RSS at most %ld kB\n"
                "writes 181-200: descriptors at most %d, RSS at most %ld kB\n",
                Rounds * Slots, records, totals.c_str(), seconds, earlyFds, earlyRss, lateFds, lateRss);
    EXPECT_EQ(records, Rounds * Slots);
    EXPECT_EQ(totals, "Shift: 150 passed, 50 failed, yield 75.0%");
    EXPECT_LE(lateFds, earlyFds);
    EXPECT_LT(lateRss - earlyRss, 2048);
}

// The fault rows the other front ends face, through the station: a job
// naming the row's program, loader and board, Start all, and the board's
// record and tile.
class StationFaults : public testing::TestWithParam<FaultRow> {};

TEST_P(StationFaults, EndInTheirMessage)
{
    const FaultRow &row = GetParam();
    FaultStage stage(row);
    const QString job = WriteFile(stage.dir, QStringLiteral("job.toml"),
                                  "program = \"" + QFile::encodeName(stage.mot) + "\"\nprogram_sha256 = \"" + Sha256(stage.mot) +
                                      "\"\nloader = \"" + QFile::encodeName(stage.loader) + "\"\nloader_sha256 = \"" + Sha256(stage.loader) +
                                      "\"\nreport = \"records.jsonl\"\nports = [\"" + QFile::encodeName(stage.device) + "\"]\n");
    StationWindow window(stage.dir.filePath(QStringLiteral("station.json")));
    bool ended = false;
    QObject::connect(&window, &StationWindow::BoardEnded, [&] { ended = true; });
    ASSERT_TRUE(window.OpenJob(job));
    window.StartAll();
    ASSERT_TRUE(PumpUntil([&] { return ended && window.RecordsKept(); }, 30s));
    const QJsonObject record = QJsonDocument::fromJson(ReadFile(stage.dir.filePath(QStringLiteral("records.jsonl")))).object();
    stage.ExpectEnding(record.value(QLatin1String("message")).toString(), stage.device);
    EXPECT_EQ(record.value(QLatin1String("exit_status")).toInt(), row.exitStatus);
    EXPECT_EQ(window.Tile(0)->ResultText(), row.message == u"O.K." ? "PASS" : "FAIL");
    EXPECT_EQ(window.Tile(0)->MessageText(), row.message == u"O.K." ? QString() : record.value(QLatin1String("message")).toString());
}

// The rows of a board's own faults: the station reads its files as the job
// opens, so rows about the files, the port held or a remote server end
// there, not in a board's tile; options are the job's.
std::vector<FaultRow> BoardRows()
{
    std::vector<FaultRow> rows;
    for (FaultRow &row : FaultRows(FrontEnd::CommandLine)) {
        if (row.setup == FaultRow::Setup::None && row.args.isEmpty() && !row.remote && !row.tls && !row.program)
            rows.push_back(std::move(row));
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Matrix, StationFaults, testing::ValuesIn(BoardRows()), [](const auto &info) { return info.param.name; });

}  // namespace
}  // namespace qw735::test
