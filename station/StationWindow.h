// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "production/JobWrite.h"
#include "slot/DeviceWatcher.h"
#include "station/ShiftCounts.h"
#include "writer/BoardRun.h"

#include <QMainWindow>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qw735 {
class AutoRun;
class GangWrite;
class RecordKeeper;
struct SlotDevice;
}  // namespace qw735

namespace qw735::station {

class SlotTile;

// The station window: a job opened read-only, one tile per slot, Start all,
// Automatic, the shift's counts and a scan field. A thin front end: every
// board is written by the gang write or the automatic run, with the job's
// settings, exactly as the command line writes it with --job.
class StationWindow : public QMainWindow {
    Q_OBJECT
public:
    // `countsPath`: where the shift's counts are kept.
    explicit StationWindow(QString countsPath = ShiftCounts::StatePath(), QWidget *parent = nullptr);
    ~StationWindow() override;

    // Opens the job at `path`; another job open is replaced only once the
    // operator confirms, and never while boards are being written. The
    // error is what the window shows.
    std::expected<void, QString> OpenJob(const QString &path);
    // Writes every board present on a slot that is not being written.
    void StartAll();
    // Writes boards as they are plugged in, until turned off.
    void SetAutomatic(bool on);
    // Writes the board on `slot` again.
    void Retry(int slot);
    // Makes `slot` the one the next label scanned goes to (-1: none).
    void Select(int slot);
    // What the scan field does with a label and Enter.
    void Scan(const QString &label);
    void ResetCounts();
    // How long a board plugged is left to settle before the automatic mode
    // writes it.
    void SetSettle(std::chrono::milliseconds settle) { settle_ = settle; }
    bool Writing() const;

    // How the window asks the operator a yes-or-no question; the default
    // shows a message box. Tests answer for the operator.
    void SetAsk(std::function<bool(const QString &)> ask) { ask_ = std::move(ask); }

    int SlotCount() const { return static_cast<int>(tiles_.size()); }
    SlotTile *Tile(int slot) const { return tiles_[static_cast<std::size_t>(slot)]; }
    QString StatusText() const;
    bool StatusIsAlarm() const { return alarm_; }
    // Every record of a board that ended has been kept, or could not be.
    bool RecordsKept() const;
    QString ScanMessage() const;
    QString TotalsText() const;
    QLineEdit *ScanField() const { return scan_; }
    QPushButton *StartAllButton() const { return startAll_; }
    QCheckBox *AutomaticBox() const { return automatic_; }
    // The job's name, program file, SHA-256 (short) and numbering as shown.
    QStringList JobTexts() const;

signals:
    void BoardEnded(int slot);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    struct Opened;
    struct SlotState;

    void BuildTiles();
    void RefreshPresence();
    void StartSlot(int slot);
    // `plugged`: written by the automatic run, as the board was plugged in.
    void OnEnded(int slot, const BoardOutcome &outcome, bool plugged);
    void ShowCounts();
    void Alarm(const QString &reason);
    void ShowStatus(const QString &text);
    void KeepRecord(const QByteArray &record);
    QString TakeLabel(int slot);
    void StopAll();

    ShiftCounts counts_;
    std::unique_ptr<Opened> job_;
    std::vector<SlotState> slots_;
    std::vector<SlotTile *> tiles_;
    std::unique_ptr<AutoRun> auto_;
    std::unique_ptr<RecordKeeper> records_;
    QStringList nextLabels_;
    int selected_ = -1;
    bool alarm_ = false;
    bool closing_ = false;
    int recordsWaitedMs_ = 0;
    std::chrono::milliseconds settle_ = WatchSettings{}.settle;
    std::function<bool(const QString &)> ask_;

    QLabel *jobName_;
    QLabel *program_;
    QLabel *sha_;
    QLabel *numbering_;
    QPushButton *openJob_;
    QPushButton *startAll_;
    QCheckBox *automatic_;
    QPushButton *reset_;
    QLineEdit *scan_;
    QLabel *scanMessage_;
    QLabel *totals_;
    QLabel *status_;
    QWidget *tileArea_;
    QGridLayout *tileGrid_;
};

}  // namespace qw735::station
