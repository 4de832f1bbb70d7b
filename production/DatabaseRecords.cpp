// SPDX-License-Identifier: GPL-2.0-or-later
#include "production/DatabaseRecords.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qw735 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *RecordsTable = "qw735_records";
constexpr const char *DefaultSequence = "qw735_serial";
constexpr const char *SpoolName = "records.jsonl";

// The record as it is: its fields fill the columns of the same names, and
// the whole of it is kept beside them (a field newer than the table is not
// lost). Sent twice, it adds no second row.
constexpr const char *InsertRecord =
    "INSERT INTO qw735_records SELECT * FROM jsonb_populate_record(NULL::qw735_records, $1::jsonb || jsonb_build_object('record', $1::jsonb)) "
    "ON CONFLICT (write_id) DO NOTHING";
// The same for a JSON array of records.
constexpr const char *InsertRecords =
    "INSERT INTO qw735_records SELECT (jsonb_populate_record(NULL::qw735_records, r || jsonb_build_object('record', r))).* "
    "FROM jsonb_array_elements($1::jsonb) AS r ON CONFLICT (write_id) DO NOTHING";

QString SystemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

RecordError SpoolError(const QString &file, const QString &why)
{
    return RecordError{RecordError::Kind::CannotWrite, QStringLiteral("Cannot write the spool %1: %2").arg(file, why)};
}

// Opens `path` for appending and takes its lock; the file locked is the one
// the name leads to now (a replay may have renamed the one opened).
std::expected<int, QString> OpenLocked(const QByteArray &path, int flags)
{
    while (true) {
        const int fd = ::open(path.constData(), flags | O_CLOEXEC, 0600);
        if (fd < 0)
            return std::unexpected(SystemError());
        if (::flock(fd, LOCK_EX) != 0) {
            const QString why = SystemError();
            ::close(fd);
            return std::unexpected(why);
        }
        struct stat opened {}, named {};
        if (::fstat(fd, &opened) == 0 && ::stat(path.constData(), &named) == 0 && opened.st_ino == named.st_ino && opened.st_dev == named.st_dev)
            return fd;
        ::close(fd);
        if (!(flags & O_CREAT))
            return std::unexpected(QString::fromLocal8Bit(std::strerror(ENOENT)));
    }
}

}  // namespace

QString RecordSpool::DefaultFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/qw735/spool");
}

QString RecordSpool::File() const
{
    return folder_ + u'/' + QLatin1String(SpoolName);
}

std::expected<void, RecordError> RecordSpool::Add(const QByteArray &line) const
{
    if (!QDir().mkpath(folder_))
        return std::unexpected(SpoolError(File(), QStringLiteral("cannot make its folder")));
    const auto fd = OpenLocked(QFile::encodeName(File()), O_WRONLY | O_APPEND | O_CREAT);
    if (!fd)
        return std::unexpected(SpoolError(File(), fd.error()));
    struct stat info {};
    ::fstat(*fd, &info);
    ssize_t written;
    while ((written = ::write(*fd, line.constData(), static_cast<std::size_t>(line.size()))) < 0 && errno == EINTR) {
    }
    const QString why = written < 0 ? SystemError() : QStringLiteral("only %1 of %2 bytes could be written").arg(written).arg(line.size());
    // Half a record is no record: cut back to where it began.
    if (written != line.size() && written > 0)
        [[maybe_unused]] const int ignored = ::ftruncate(*fd, info.st_size);
    ::close(*fd);
    if (written != line.size())
        return std::unexpected(SpoolError(File(), why));
    return {};
}

std::expected<RecordSpool::Replayed, RecordError> RecordSpool::Replay(const SendBatch &send) const
{
    Replayed replayed;
    const QDir folder(folder_);
    if (!folder.exists())
        return replayed;
    // Records spooled from now on go to a new file.
    const QByteArray spool = QFile::encodeName(File());
    if (const auto fd = OpenLocked(spool, O_RDONLY); fd) {
        const QString batch = QStringLiteral("sending-%1-%2.jsonl").arg(::getpid()).arg(Clock::now().time_since_epoch().count());
        const bool renamed = ::rename(spool.constData(), QFile::encodeName(folder.filePath(batch)).constData()) == 0;
        const QString why = SystemError();
        ::close(*fd);
        if (!renamed)
            return std::unexpected(SpoolError(File(), why));
    }
    // This run's batch, and those a replay cut short left.
    bool stopped = false;
    for (const QString &name : folder.entryList({QStringLiteral("sending-*.jsonl")}, QDir::Files, QDir::Name)) {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;  // another replay took it
        std::vector<QByteArray> lines;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.trimmed().isEmpty())
                lines.push_back(line + '\n');
        }
        QByteArray back;  // put back into the spool, in one write
        for (std::size_t first = 0; first < lines.size(); first += BatchSize) {
            const std::span<const QByteArray> batch = std::span(lines).subspan(first, std::min(BatchSize, lines.size() - first));
            const std::vector<Sent> sent = stopped ? std::vector<Sent>(batch.size(), Sent::Stop) : send(batch);
            for (std::size_t i = 0; i < batch.size(); ++i) {
                if (i < sent.size() && sent[i] == Sent::Yes) {
                    ++replayed.sent;
                    continue;
                }
                stopped = stopped || i >= sent.size() || sent[i] == Sent::Stop;
                back += batch[i];
                ++replayed.kept;
            }
        }
        if (!back.isEmpty()) {
            if (const auto added = Add(back); !added)
                return std::unexpected(added.error());
        }
        file.remove();
    }
    return replayed;
}

namespace {

// Spooled records, many in one statement (a commit each would bound the
// replay by the server's disk); when the server refuses the batch, each on
// its own, so that only the refused ones stay. `why`: the last reason one
// was not sent.
std::vector<RecordSpool::Sent> SendLines(Database &database, std::span<const QByteArray> lines, const std::atomic<bool> *giveUp, QString &why)
{
    const auto outcome = [&why](const DatabaseError &error) {
        why = QString::fromStdString(error.text);
        return error.kind == DatabaseError::Kind::Rejected ? RecordSpool::Sent::Kept : RecordSpool::Sent::Stop;
    };
    QByteArray array = "[";
    for (const QByteArray &line : lines)
        array += line.trimmed() + ',';
    array.back() = ']';
    const std::string batch[] = {array.toStdString()};
    const auto all = database.Run(InsertRecords, batch, giveUp);
    if (all)
        return std::vector<RecordSpool::Sent>(lines.size(), RecordSpool::Sent::Yes);
    if (all.error().kind != DatabaseError::Kind::Rejected || lines.size() == 1)
        return std::vector<RecordSpool::Sent>(lines.size(), outcome(all.error()));
    std::vector<RecordSpool::Sent> sent;
    for (const QByteArray &line : lines) {
        const std::string one[] = {line.trimmed().toStdString()};
        const auto inserted = sent.empty() || sent.back() != RecordSpool::Sent::Stop ? database.Run(InsertRecord, one, giveUp)
                                                                                      : std::expected<std::vector<Database::Row>, DatabaseError>();
        sent.push_back(inserted ? RecordSpool::Sent::Yes : outcome(inserted.error()));
        if (!sent.empty() && sent.back() == RecordSpool::Sent::Stop)
            break;
    }
    sent.resize(lines.size(), RecordSpool::Sent::Stop);
    return sent;
}

}  // namespace

DatabaseRecords::DatabaseRecords(DatabaseUrl url, std::optional<Database> database, RecordSpool spool, QString station)
    : url_(std::move(url)), database_(std::move(database)), spool_(std::move(spool)), station_(std::move(station))
{
    // Out of reach as the run starts, which has said so.
    if (!database_) {
        retryAt_ = Clock::now() + RetryAfter;
        serverSaid_ = true;
    }
}

std::expected<void, DatabaseError> DatabaseRecords::Insert(const QByteArray &line, const std::atomic<bool> &giveUp)
{
    if (!database_ || !database_->Connected()) {
        auto connected = Database::Connect(url_, {}, &giveUp);
        if (!connected)
            return std::unexpected(connected.error());
        database_ = std::move(*connected);
    }
    const std::string params[] = {line.trimmed().toStdString()};
    if (auto inserted = database_->Run(InsertRecord, params, &giveUp); !inserted)
        return std::unexpected(std::move(inserted.error()));
    return {};
}

std::expected<void, RecordError> DatabaseRecords::SendSpool(const std::atomic<bool> &giveUp)
{
    if (!database_ || !database_->Connected()) {
        auto connected = Database::Connect(url_, {}, &giveUp);
        if (!connected)
            return {};  // the record's own send says why
        database_ = std::move(*connected);
    }
    spoolDue_ = false;
    QString why;
    const auto replayed = spool_.Replay([&](std::span<const QByteArray> lines) { return SendLines(*database_, lines, &giveUp, why); });
    if (!replayed)
        return std::unexpected(replayed.error());
    return {};
}

std::expected<QString, RecordError> DatabaseRecords::Spool(const QByteArray &line, const QString &why)
{
    spoolDue_ = true;
    if (const auto added = spool_.Add(line); !added)
        return std::unexpected(RecordError{added.error().kind, QStringLiteral("%1; %2: the record is lost").arg(why, added.error().text)});
    return QStringLiteral("%1; the record is kept in the spool %2 and sent at the next run or by qw735-write --send-records")
        .arg(why, spool_.File());
}

std::expected<QString, RecordError> DatabaseRecords::Keep(const QByteArray &record, const std::atomic<bool> &giveUp)
{
    QJsonObject fields = QJsonDocument::fromJson(record).object();
    fields.insert(QStringLiteral("write_id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
    fields.insert(QStringLiteral("station"), station_);
    const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';

    // A server found absent or slow a moment ago is not waited for again
    // for each board.
    if (Clock::now() < retryAt_ || giveUp) {
        spoolDue_ = true;
        if (const auto added = spool_.Add(line); !added)
            return std::unexpected(added.error());
        return QString();
    }
    if (spoolDue_) {
        if (const auto sent = SendSpool(giveUp); !sent)
            return std::unexpected(sent.error());
    }
    const auto inserted = Insert(line, giveUp);
    if (inserted) {
        serverSaid_ = false;
        return QString();
    }
    const QString why = QString::fromStdString(inserted.error().text);
    switch (inserted.error().kind) {
    case DatabaseError::Kind::Rejected:
        return Spool(line, QStringLiteral("the record of %1 was not taken: %2").arg(fields.value(QStringLiteral("port")).toString(), why));
    case DatabaseError::Kind::Unreachable:
    case DatabaseError::Kind::TimedOut:
    case DatabaseError::Kind::Refused:
    case DatabaseError::Kind::BadUrl:
        retryAt_ = Clock::now() + RetryAfter;
        [[fallthrough]];
    case DatabaseError::Kind::GaveUp:
        if (std::exchange(serverSaid_, true)) {
            spoolDue_ = true;
            if (auto added = spool_.Add(line); !added)
                return std::unexpected(std::move(added.error()));
            return QString();
        }
        return Spool(line, why);
    }
    std::unreachable();
}

std::vector<std::string> InitStatements(const std::string &sequence)
{
    std::string quoted = "\"";
    for (const char c : sequence.empty() ? std::string(DefaultSequence) : sequence)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    quoted += '"';
    return {
        std::string("CREATE TABLE IF NOT EXISTS ") + RecordsTable + " (\n"
        "    write_id uuid PRIMARY KEY,\n"
        "    station text NOT NULL,\n"
        "    start timestamptz NOT NULL,\n"
        "    port text NOT NULL,\n"
        "    device text,\n"
        "    remote boolean,\n"
        "    file text,\n"
        "    file_sha256 text,\n"
        "    loader_sha256 text,\n"
        "    image_sha256 text,\n"
        "    transfer_size integer,\n"
        "    checksum integer,\n"
        "    message text NOT NULL,\n"
        "    exit_status integer NOT NULL,\n"
        "    duration_s double precision,\n"
        "    bytes_sent bigint,\n"
        "    bytes_received bigint,\n"
        "    format text,\n"
        "    dropped_bytes bigint,\n"
        "    round_trip_ms double precision,\n"
        "    boot_entry text,\n"
        "    attempts integer,\n"
        "    server_cert_sha256 text,\n"
        "    serial text,\n"
        "    job text,\n"
        "    job_sha256 text,\n"
        "    slot text,\n"
        "    auto boolean,\n"
        "    record jsonb NOT NULL\n"
        ")",
        std::string("CREATE INDEX IF NOT EXISTS qw735_records_start ON ") + RecordsTable + " (start)",
        std::string("CREATE INDEX IF NOT EXISTS qw735_records_station_start ON ") + RecordsTable + " (station, start)",
        std::string("CREATE INDEX IF NOT EXISTS qw735_records_serial ON ") + RecordsTable + " (serial) WHERE serial IS NOT NULL",
        "CREATE SEQUENCE IF NOT EXISTS " + quoted + " AS bigint MINVALUE 1",
    };
}

std::expected<std::unique_ptr<DatabaseRecords>, QString> OpenDatabaseRecords(const QString &text, QString &note)
{
    const auto url = ParseDatabaseUrl(text.toStdString());
    if (!url)
        return std::unexpected(QString::fromStdString(url.error().text));
    if (!url->sequence.empty())
        return std::unexpected(QStringLiteral("the report's database URL %1 names a sequence: that goes with --serial-from only").arg(text));
    RecordSpool spool(RecordSpool::DefaultFolder());
    auto database = Database::Connect(*url);
    if (!database && database.error().kind == DatabaseError::Kind::Refused)
        return std::unexpected(QString::fromStdString(database.error().text));
    if (!database)
        note = QStringLiteral("%1; the records are kept in the spool %2 until it can be reached")
                   .arg(QString::fromStdString(database.error().text), spool.File());
    std::optional<Database> connected;
    if (database)
        connected.emplace(std::move(*database));
    return std::make_unique<DatabaseRecords>(*url, std::move(connected), std::move(spool), QSysInfo::machineHostName());
}

}  // namespace qw735

namespace qw735 {

namespace {

// The database a URL names, reached; or why not.
std::expected<std::pair<DatabaseUrl, Database>, DatabaseError> Reach(const QString &text)
{
    auto url = ParseDatabaseUrl(text.toStdString());
    if (!url)
        return std::unexpected(url.error());
    auto database = Database::Connect(*url);
    if (!database)
        return std::unexpected(database.error());
    return std::pair{std::move(*url), std::move(*database)};
}

}  // namespace

std::expected<void, DatabaseError> InitDatabase(const QString &text)
{
    auto reached = Reach(text);
    if (!reached)
        return std::unexpected(reached.error());
    auto &[url, database] = *reached;
    for (const std::string &statement : InitStatements(url.sequence)) {
        if (const auto done = database.Run(statement); !done)
            return std::unexpected(done.error());
    }
    return {};
}

std::expected<SpoolSent, DatabaseError> SendSpooledRecords(const QString &text, const RecordSpool &spool)
{
    auto reached = Reach(text);
    if (!reached)
        return std::unexpected(reached.error());
    Database &database = reached->second;
    SpoolSent result;
    const auto replayed = spool.Replay([&](std::span<const QByteArray> lines) { return SendLines(database, lines, nullptr, result.why); });
    if (!replayed)
        return std::unexpected(DatabaseError{DatabaseError::Kind::Unreachable, replayed.error().text.toStdString()});
    result.sent = replayed->sent;
    result.kept = replayed->kept;
    return result;
}

}  // namespace qw735
