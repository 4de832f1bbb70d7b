// SPDX-License-Identifier: GPL-2.0-or-later
#include "station/StationWindow.h"

#include "link/PortInventory.h"
#include "ports/PortName.h"
#include "database/DatabaseUrl.h"
#include "production/AutoRun.h"
#include "production/DatabaseRecords.h"
#include "production/GangWrite.h"
#include "production/ProductionRecord.h"
#include "production/RecordDestination.h"
#include "production/RecordKeeper.h"
#include "slot/Slot.h"
#include "station/SlotTile.h"
#include "writer/FileSystem.h"
#include "writer/Messages.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <utility>

namespace qw735::station {

namespace {

// How often the tiles look for boards outside the automatic mode: a plug
// shows within half a second, and a stat of each slot's path costs nothing.
constexpr int PresenceEveryMs = 500;

// How long closing waits for the records still to be kept, and how often
// it looks.
constexpr int RecordsWaitMs = 5000;
constexpr int RecordsPollMs = 50;

// The SHA-256 as the window shows it: enough to tell two files apart at a
// glance; the records keep the whole.
constexpr int ShortSha256 = 12;

// `record` (one JSON object and its newline) with the label scanned for its
// board, so that the board's record names the label on it.
QByteArray WithLabel(const QByteArray &record, const QString &label)
{
    if (label.isEmpty())
        return record;
    const QByteArray quoted = QJsonDocument(QJsonArray{label}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    const qsizetype end = record.lastIndexOf('}');
    return record.left(end) + ",\"label\":" + quoted + record.mid(end);
}

}  // namespace

struct StationWindow::Opened {
    QString path;
    JobWrite job;
    WriteInput input;
    std::unique_ptr<PreparedRun> prepared;
    QString recordsNote;  // why the records start in the spool, when they do
};

struct StationWindow::SlotState {
    QString text;       // as the job names it, or the device found
    std::optional<Slot> slot;
    GangWrite *gang = nullptr;  // writing the board on it now, outside the automatic mode
    bool autoWriting = false;
    QString label;         // scanned for this slot's next board
    QString writingLabel;  // the board being written's
};

StationWindow::StationWindow(QString countsPath, QWidget *parent)
    : QMainWindow(parent), counts_(std::move(countsPath))
{
    setWindowTitle(tr("QW735 station"));
    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);

    // The job, shown and never edited: labels, not fields.
    auto *jobRow = new QHBoxLayout;
    jobName_ = new QLabel(tr("No job open"), central);
    program_ = new QLabel(central);
    sha_ = new QLabel(central);
    numbering_ = new QLabel(central);
    for (QLabel *label : {jobName_, program_, sha_, numbering_}) {
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        jobRow->addWidget(label);
    }
    QFont bold = jobName_->font();
    bold.setBold(true);
    jobName_->setFont(bold);
    jobRow->addStretch();
    openJob_ = new QPushButton(tr("&Open job..."), central);
    jobRow->addWidget(openJob_);
    layout->addLayout(jobRow);

    auto *controls = new QHBoxLayout;
    startAll_ = new QPushButton(tr("&Start all"), central);
    automatic_ = new QCheckBox(tr("&Automatic"), central);
    reset_ = new QPushButton(tr("Reset &counts"), central);
    auto *scanName = new QLabel(tr("Sca&n label:"), central);
    scan_ = new QLineEdit(central);
    scan_->setPlaceholderText(tr("scan a board's label"));
    scanName->setBuddy(scan_);
    controls->addWidget(startAll_);
    controls->addWidget(automatic_);
    controls->addWidget(reset_);
    controls->addSpacing(20);
    controls->addWidget(scanName);
    controls->addWidget(scan_, 1);
    layout->addLayout(controls);
    scanMessage_ = new QLabel(central);
    layout->addWidget(scanMessage_);

    auto *scroll = new QScrollArea(central);
    scroll->setWidgetResizable(true);
    tileArea_ = new QWidget(scroll);
    tileGrid_ = new QGridLayout(tileArea_);
    scroll->setWidget(tileArea_);
    layout->addWidget(scroll, 1);
    totals_ = new QLabel(central);
    QFont large = totals_->font();
    large.setPointSizeF(large.pointSizeF() * 1.4);
    totals_->setFont(large);
    layout->addWidget(totals_);
    setCentralWidget(central);
    status_ = new QLabel(this);
    statusBar()->addWidget(status_, 1);

    connect(openJob_, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, tr("Open job"), {}, tr("Jobs (*.toml);;All files (*)"), nullptr,
                                                          QFileDialog::DontUseNativeDialog);
        if (path.isEmpty())
            return;
        if (const auto opened = OpenJob(path); !opened)
            QMessageBox::warning(this, tr("Open job"), opened.error());
    });
    connect(startAll_, &QPushButton::clicked, this, &StationWindow::StartAll);
    connect(automatic_, &QCheckBox::toggled, this, &StationWindow::SetAutomatic);
    connect(reset_, &QPushButton::clicked, this, [this] {
        if (ask_(tr("Reset the shift's counts and the labels scanned?")))
            ResetCounts();
    });
    connect(scan_, &QLineEdit::returnPressed, this, [this] { Scan(scan_->text()); });
    ask_ = [this](const QString &question) {
        return QMessageBox::question(this, tr("QW735 station"), question) == QMessageBox::Yes;
    };
    auto *presence = new QTimer(this);
    connect(presence, &QTimer::timeout, this, &StationWindow::RefreshPresence);
    presence->start(PresenceEveryMs);
    startAll_->setEnabled(false);
    automatic_->setEnabled(false);
    ShowStatus(tr("Open a job to begin"));
    ShowCounts();
    scan_->setFocus();
}

StationWindow::~StationWindow()
{
    auto_.reset();
    for (SlotState &state : slots_)
        delete state.gang;
    records_.reset();
}

std::expected<void, QString> StationWindow::OpenJob(const QString &path)
{
    if (Writing())
        return std::unexpected(tr("Boards are being written: the job cannot change until they are done"));
    if (job_ && !ask_(tr("Replace the job %1 with %2?").arg(QFileInfo(job_->path).fileName(), QFileInfo(path).fileName())))
        return std::unexpected(tr("The job %1 stays open").arg(QFileInfo(job_->path).fileName()));
    const PathName jobPath(QFile::encodeName(path));
    auto job = JobWriteOf(jobPath);
    if (!job)
        return std::unexpected(QString::fromStdString(DescribeJobError(job.error(), jobPath.Display().toStdString())));
    auto opened = std::make_unique<Opened>();
    opened->path = path;
    opened->job = std::move(*job);
    const FileSystem fileSystem;
    const PathName loader = opened->job.loader.IsEmpty() ? PathName(QFile::encodeName(fileSystem.LoaderPath())) : opened->job.loader;
    auto input = ReadWriteInput(opened->job.program, loader, InputReader::Uninterruptible, opened->job.programOptions);
    if (!input)
        return std::unexpected(input.error().message);
    if (!input->loader)
        return std::unexpected(QString::fromLatin1(MessageLoaderMissing));
    opened->input = std::move(*input);
    auto prepared = PreparedRun::Prepare(opened->job.program.Display(), loader.Display(), opened->input, opened->job.inUse,
                                         opened->job.numbering, opened->job.write);
    if (!prepared)
        return std::unexpected(prepared.error().text);
    opened->prepared = std::move(*prepared);
    std::unique_ptr<RecordKeeper> records;
    if (!opened->job.report.IsEmpty()) {
        const std::string report = opened->job.report.Bytes().toStdString();
        std::unique_ptr<RecordDestination> destination;
        if (IsDatabaseUrl(report)) {
            auto database = OpenDatabaseRecords(QString::fromStdString(report), opened->recordsNote);
            if (!database)
                return std::unexpected(tr("Job file %1: report: %2").arg(jobPath.Display(), database.error()));
            destination = std::move(*database);
        } else if (!ReportIsFile(report)) {
            // A window has no standard output for records to go to.
            return std::unexpected(tr("Job file %1: report: the station window keeps records in a file or a database, not in %2")
                                       .arg(jobPath.Display(), opened->job.report.Display()));
        } else {
            auto file = RecordFile::Open(QFile::decodeName(opened->job.report.Bytes()));
            if (!file)
                return std::unexpected(file.error().text);
            destination = std::make_unique<FileDestination>(std::move(*file));
        }
        // Kept on a thread of their own: another program may hold the
        // file's lock, or the database be slow, for as long as it likes, and
        // the window waits for neither. A record lost turns the status bar
        // red; one spooled for a database out of reach is said plainly.
        QPointer<StationWindow> window(this);
        records = std::make_unique<RecordKeeper>(std::move(destination), [window](const QString &said, bool kept) {
            QMetaObject::invokeMethod(window, [window, said, kept] {
                if (window && kept)
                    window->ShowStatus(said);
                else if (window)
                    window->Alarm(said);
            }, Qt::QueuedConnection);
        });
    }
    QStringList texts;
    for (const QByteArray &text : opened->job.ports.isEmpty() ? opened->job.autoSlots : opened->job.ports)
        texts << PathString(text);
    if (texts.isEmpty()) {
        // A job for whatever station it is opened on: the ports found here.
        for (const SerialPortEntry &entry : SerialPortInventory()) {
            if (entry.console == ConsoleRole::None)
                texts << entry.device;
        }
    }
    auto slotList = ParseSlots(texts);
    if (!slotList)
        return std::unexpected(slotList.error().text);

    SetAutomatic(false);
    // Nothing is being written: the automatic run has nothing to finish.
    auto_.reset();
    records_.reset();
    records_ = std::move(records);
    job_ = std::move(opened);
    slots_.clear();
    for (std::size_t i = 0; i < slotList->size(); ++i)
        slots_.push_back({texts[static_cast<qsizetype>(i)], (*slotList)[i], nullptr, false, {}, {}});
    const RecordedProgram &program = job_->prepared->Program();
    jobName_->setText(tr("Job: %1").arg(QFileInfo(path).fileName()));
    program_->setText(tr("Program: %1").arg(QFileInfo(job_->job.program.Display()).fileName()));
    sha_->setText(tr("SHA-256: %1").arg(QString::fromLatin1(program.fileSha256.left(ShortSha256))));
    if (const BoardNumbering *numbering = job_->prepared->Numbering())
        numbering_->setText(tr("Numbering: %1 at 0x%2 from %3")
                                .arg(QString::fromStdString(numbering->Field().format.Text()))
                                .arg(numbering->Field().address, 0, 16)
                                .arg(QString::fromStdString(numbering->Source())));
    else
        numbering_->setText(tr("Numbering: none"));
    BuildTiles();
    startAll_->setEnabled(true);
    automatic_->setEnabled(true);
    alarm_ = false;
    if (!job_->recordsNote.isEmpty())
        ShowStatus(job_->recordsNote);
    else
        ShowStatus(job_->job.report.IsEmpty() ? tr("Ready; the job keeps no records")
                                              : tr("Ready; records go to %1").arg(job_->job.report.Display()));
    return {};
}

void StationWindow::BuildTiles()
{
    for (SlotTile *tile : tiles_)
        delete tile;
    tiles_.clear();
    selected_ = -1;
    const int columns = slots_.size() <= 4 ? 2 : 4;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const int slot = static_cast<int>(i);
        // A device path by its last name, as a station's slots are labelled;
        // the whole in its tip.
        const Slot &named = *slots_[i].slot;
        auto *tile = new SlotTile(named.SlotKind() == Slot::Kind::Device ? QFileInfo(named.Describe()).fileName() : named.Describe(), tileArea_);
        tile->setToolTip(named.Describe());
        tileGrid_->addWidget(tile, slot / columns, slot % columns);
        connect(tile, &SlotTile::RetryClicked, this, [this, slot] { Retry(slot); });
        connect(tile, &SlotTile::Chosen, this, [this, slot] { Select(selected_ == slot ? -1 : slot); });
        tiles_.push_back(tile);
    }
    RefreshPresence();
    ShowCounts();
}

// A slot's board, when one is there now: the device a write would open.
static std::optional<PortName> BoardOn(const Slot &slot)
{
    switch (slot.SlotKind()) {
    case Slot::Kind::Device:
    case Slot::Kind::Com: {
        auto port = PortName::Parse(slot.Text());
        if (!port || !QFileInfo::exists(port->DeviceBehind()))
            return std::nullopt;
        return std::move(*port);
    }
    case Slot::Kind::Pattern:
        for (const QString &name : QDir(slot.Folder()).entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
            if (slot.Holds(name)) {
                if (auto port = PortName::Parse(slot.Folder() + u'/' + name))
                    return std::move(*port);
            }
        }
        return std::nullopt;
    case Slot::Kind::Remote:
        if (auto port = PortName::Parse(slot.Text()))
            return std::move(*port);
        return std::nullopt;
    }
    std::unreachable();
}

void StationWindow::RefreshPresence()
{
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].gang || slots_[i].autoWriting)
            continue;
        const auto board = BoardOn(*slots_[i].slot);
        tiles_[i]->SetPresent(board.has_value());
        tiles_[i]->SetDevice(board ? board->DeviceBehind() : QString());
    }
}

bool StationWindow::Writing() const
{
    for (const SlotState &state : slots_) {
        if (state.gang || state.autoWriting)
            return true;
    }
    return false;
}

void StationWindow::StartAll()
{
    if (!job_ || auto_)
        return;
    for (int slot = 0; slot < SlotCount(); ++slot) {
        if (!slots_[static_cast<std::size_t>(slot)].gang)
            StartSlot(slot);
    }
}

void StationWindow::Retry(int slot)
{
    if (job_ && !auto_ && !slots_[static_cast<std::size_t>(slot)].gang)
        StartSlot(slot);
}

void StationWindow::StartSlot(int slot)
{
    SlotState &state = slots_[static_cast<std::size_t>(slot)];
    auto board = BoardOn(*state.slot);
    if (!board)
        return;
    SlotTile *tile = Tile(slot);
    state.writingLabel = TakeLabel(slot);
    tile->Started(board->DeviceBehind(), state.writingLabel);
    // A gang of one on a thread of its own per slot, as the automatic run
    // writes each board: a slot's board can be written again while the
    // others still are.
    auto *gang = new GangWrite({std::move(*board)}, std::nullopt, job_->input, job_->prepared->Write(), this);
    state.gang = gang;
    connect(gang, &GangWrite::MaximumSet, tile, [tile](int, ProgressStage stage, float maximum) { tile->SetMaximum(stage, maximum); });
    connect(gang, &GangWrite::ValueSet, tile, [tile](int, float value) { tile->SetValue(value); });
    connect(gang, &GangWrite::BoardEnded, this, [this, slot, gang] {
        slots_[static_cast<std::size_t>(slot)].gang = nullptr;
        OnEnded(slot, gang->Outcome(0), false);
        gang->deleteLater();
    });
    gang->Start(GangWrite::LoneBoard::OnItsThread);
}

void StationWindow::SetAutomatic(bool on)
{
    if (automatic_->isChecked() != on) {
        automatic_->setChecked(on);  // comes back here through toggled
        return;
    }
    if (!on) {
        if (auto_) {
            // The boards being written finish; nothing new starts.
            auto_->Stop();
            if (auto_->IsFinished())
                auto_.reset();
        }
        startAll_->setEnabled(job_ != nullptr && !auto_);
        return;
    }
    if (!job_ || auto_ || Writing()) {
        automatic_->setChecked(false);
        return;
    }
    std::vector<Slot> slotList;
    for (const SlotState &state : slots_)
        slotList.push_back(*state.slot);
    AutoSettings settings;
    settings.watch.settle = settle_;
    auto_ = std::make_unique<AutoRun>(std::move(slotList), settings, std::nullopt, job_->input, job_->prepared->Write());
    connect(auto_.get(), &AutoRun::BoardStarted, this, [this](int slot, const SlotDevice &device) {
        SlotState &state = slots_[static_cast<std::size_t>(slot)];
        state.autoWriting = true;
        state.writingLabel = TakeLabel(slot);
        Tile(slot)->Started(device.device, state.writingLabel);
    });
    connect(auto_.get(), &AutoRun::MaximumSet, this, [this](int slot, ProgressStage stage, float maximum) { Tile(slot)->SetMaximum(stage, maximum); });
    connect(auto_.get(), &AutoRun::ValueSet, this, [this](int slot, float value) { Tile(slot)->SetValue(value); });
    connect(auto_.get(), &AutoRun::BoardEnded, this, [this](int slot, const BoardOutcome &outcome, bool counted) {
        SlotState &state = slots_[static_cast<std::size_t>(slot)];
        state.autoWriting = false;
        if (counted) {
            OnEnded(slot, outcome, true);
            return;
        }
        // No board was behind the server: the label waits for the next.
        if (!state.writingLabel.isEmpty())
            nextLabels_.prepend(std::exchange(state.writingLabel, QString()));
        Tile(slot)->Clear();
    });
    connect(auto_.get(), &AutoRun::Refused, this, [this](int slot, const SlotDevice &device, Refusal, int) {
        ShowStatus(tr("%1: %2 is left alone").arg(slots_[static_cast<std::size_t>(slot)].slot->Describe(), PathDisplay(device.name)));
    });
    connect(auto_.get(), &AutoRun::WatchFailed, this, [this](const WatchError &error) {
        Alarm(error.text);
        SetAutomatic(false);
    });
    connect(auto_.get(), &AutoRun::Finished, this, [this] {
        if (!automatic_->isChecked())
            QTimer::singleShot(0, this, [this] {
                if (auto_ && auto_->IsFinished() && !automatic_->isChecked()) {
                    auto_.reset();
                    startAll_->setEnabled(job_ != nullptr);
                }
            });
    });
    startAll_->setEnabled(false);
    if (const auto started = auto_->Start(); !started) {
        Alarm(started.error().text);
        auto_.reset();
        automatic_->setChecked(false);
        return;
    }
    ShowStatus(tr("Automatic: boards are written as they are plugged in"));
}

QString StationWindow::TakeLabel(int slot)
{
    SlotState &state = slots_[static_cast<std::size_t>(slot)];
    QString label;
    if (!state.label.isEmpty())
        label = std::exchange(state.label, QString());
    else if (!nextLabels_.isEmpty())
        label = nextLabels_.takeFirst();
    // The operator sees where the label went, not a promise already kept.
    if (!label.isEmpty()) {
        scanMessage_->setStyleSheet({});
        scanMessage_->setText(tr("Label %1 went to %2").arg(label, state.slot->Describe()));
    }
    return label;
}

void StationWindow::OnEnded(int slot, const BoardOutcome &outcome, bool plugged)
{
    SlotState &state = slots_[static_cast<std::size_t>(slot)];
    const bool passed = !outcome.failure && outcome.result.outcome == WriteOutcome::Ok;
    // Stopped by closing the window, never by a signal.
    const QString message = BoardMessage(outcome, QStringLiteral("stopped"));
    const int status = BoardStatus(outcome, 0);
    Tile(slot)->Ended(passed, message, outcome.own ? outcome.own->serial : QString(), outcome.seconds);
    if (records_) {
        // A board written as it was plugged in names its slot, as
        // qw735-write --auto's records do.
        const QString slotText = plugged ? state.slot->Describe() : QString();
        records_->Put(WithLabel(RecordLine(job_->prepared->Program(), outcome, message, status, slotText), state.writingLabel));
    }
    state.writingLabel.clear();
    if (const auto counted = counts_.Count(state.text, passed); !counted)
        Alarm(counted.error());
    ShowCounts();
    emit BoardEnded(slot);
    if (closing_ && !Writing())
        QTimer::singleShot(0, this, &QWidget::close);
}

void StationWindow::ShowCounts()
{
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const ShiftCounts::Tally &tally = counts_.Of(slots_[i].text);
        tiles_[i]->SetCounts(tally.passed, tally.failed);
    }
    const ShiftCounts::Tally total = counts_.Total();
    totals_->setText(tr("Shift: %1 passed, %2 failed, yield %3%")
                         .arg(total.passed)
                         .arg(total.failed)
                         .arg(ShiftCounts::Yield(total), 0, 'f', 1));
}

void StationWindow::ResetCounts()
{
    if (const auto reset = counts_.Reset(); !reset)
        Alarm(reset.error());
    nextLabels_.clear();
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].label.clear();
        tiles_[i]->SetLabel({});
    }
    scanMessage_->clear();
    ShowCounts();
}

void StationWindow::Select(int slot)
{
    if (selected_ >= 0 && selected_ < SlotCount())
        Tile(selected_)->SetSelected(false);
    selected_ = slot;
    if (slot >= 0)
        Tile(slot)->SetSelected(true);
}

void StationWindow::Scan(const QString &text)
{
    const QString label = text.trimmed();
    scan_->clear();
    if (label.isEmpty())
        return;
    if (counts_.Scanned(label)) {
        scanMessage_->setStyleSheet(QStringLiteral("color: white; background-color: #c01818; font-weight: bold;"));
        scanMessage_->setText(tr("Label %1 was scanned before in this shift: refused").arg(label));
        return;
    }
    if (const auto added = counts_.AddLabel(label); !added)
        Alarm(added.error());
    scanMessage_->setStyleSheet({});
    if (selected_ >= 0) {
        SlotState &state = slots_[static_cast<std::size_t>(selected_)];
        // A label scanned for the slot again replaces the one before, which
        // no board took.
        state.label = label;
        Tile(selected_)->SetLabel(label);
        scanMessage_->setText(tr("Label %1 goes to %2").arg(label, state.slot->Describe()));
    } else {
        nextLabels_ << label;
        scanMessage_->setText(tr("Label %1 goes to the next board written").arg(label));
    }
}

void StationWindow::Alarm(const QString &reason)
{
    alarm_ = true;
    statusBar()->setStyleSheet(QStringLiteral("background-color: #c01818; color: white; font-weight: bold;"));
    status_->setText(reason);
}

void StationWindow::ShowStatus(const QString &text)
{
    // A record that could not be kept stays on show until a job is opened.
    if (alarm_)
        return;
    statusBar()->setStyleSheet({});
    status_->setText(text);
}

QString StationWindow::StatusText() const { return status_->text(); }
bool StationWindow::RecordsKept() const { return !records_ || records_->Done(); }
QString StationWindow::ScanMessage() const { return scanMessage_->text(); }
QString StationWindow::TotalsText() const { return totals_->text(); }

QStringList StationWindow::JobTexts() const
{
    return {jobName_->text(), program_->text(), sha_->text(), numbering_->text()};
}

void StationWindow::StopAll()
{
    if (auto_)
        auto_->Cancel();
    for (SlotState &state : slots_) {
        if (state.gang)
            state.gang->Cancel();
    }
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (!Writing()) {
        if (auto_)
            auto_->Stop();
        // The last boards' records are kept before the window goes: what
        // still waits would be lost with it. Another program holding the
        // report file may keep them waiting; not for ever.
        if (records_ && !records_->Done() && recordsWaitedMs_ < RecordsWaitMs) {
            event->ignore();
            recordsWaitedMs_ += RecordsPollMs;
            QTimer::singleShot(RecordsPollMs, this, &QWidget::close);
            return;
        }
        event->accept();
        return;
    }
    if (!closing_ && !ask_(tr("Boards are being written. Stop them and close?"))) {
        event->ignore();
        return;
    }
    // Each board stops in its current wait and closes its port; the window
    // closes once every one has ended and its record is put.
    closing_ = true;
    event->ignore();
    StopAll();
}

}  // namespace qw735::station
