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

std::expected<RecordSpool::Replayed, RecordError> RecordSpool::Replay(const std::function<Sent(const QByteArray &)> &send) const
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
    for (const QString &batch : folder.entryList({QStringLiteral("sending-*.jsonl")}, QDir::Files, QDir::Name)) {
        QFile file(folder.filePath(batch));
        if (!file.open(QIODevice::ReadOnly))
            continue;  // another replay took it
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const QByteArray &line : lines) {
            if (line.trimmed().isEmpty())
                continue;
            const QByteArray record = line + '\n';
            const Sent sent = stopped ? Sent::Stop : send(record);
            stopped = sent == Sent::Stop;
            if (sent == Sent::Yes) {
                ++replayed.sent;
                continue;
            }
            if (const auto added = Add(record); !added)
                return std::unexpected(added.error());
            ++replayed.kept;
        }
        file.remove();
    }
    return replayed;
}

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
    spoolDue_ = false;
    const auto replayed = spool_.Replay([&](const QByteArray &line) {
        const auto sent = Insert(line, giveUp);
        if (sent)
            return RecordSpool::Sent::Yes;
        return sent.error().kind == DatabaseError::Kind::Rejected ? RecordSpool::Sent::Kept : RecordSpool::Sent::Stop;
    });
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

std::expected<void, DatabaseError> InitDatabase(const QString &text)
{
    const auto url = ParseDatabaseUrl(text.toStdString());
    if (!url)
        return std::unexpected(url.error());
    auto database = Database::Connect(*url);
    if (!database)
        return std::unexpected(database.error());
    for (const std::string &statement : InitStatements(url->sequence)) {
        if (const auto done = database->Run(statement); !done)
            return std::unexpected(done.error());
    }
    return {};
}

std::expected<SpoolSent, DatabaseError> SendSpooledRecords(const QString &text, const RecordSpool &spool)
{
    const auto url = ParseDatabaseUrl(text.toStdString());
    if (!url)
        return std::unexpected(url.error());
    auto database = Database::Connect(*url);
    if (!database)
        return std::unexpected(database.error());
    SpoolSent result;
    const auto replayed = spool.Replay([&](const QByteArray &line) {
        const std::string params[] = {line.trimmed().toStdString()};
        const auto sent = database->Run(InsertRecord, params);
        if (sent)
            return RecordSpool::Sent::Yes;
        result.why = QString::fromStdString(sent.error().text);
        if (sent.error().kind == DatabaseError::Kind::Rejected)
            return RecordSpool::Sent::Kept;
        return RecordSpool::Sent::Stop;
    });
    if (!replayed)
        return std::unexpected(DatabaseError{DatabaseError::Kind::Unreachable, replayed.error().text.toStdString()});
    result.sent = replayed->sent;
    result.kept = replayed->kept;
    return result;
}

}  // namespace qw735
