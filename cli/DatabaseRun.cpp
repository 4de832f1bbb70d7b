// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/DatabaseRun.h"

#include "cli/Console.h"
#include "production/ExitStatus.h"
#include "cli/Options.h"
#include "production/DatabaseRecords.h"

namespace qw735 {

namespace {

int StatusOf(const DatabaseError &error)
{
    switch (error.kind) {
    case DatabaseError::Kind::BadUrl:
    case DatabaseError::Kind::Refused:
    case DatabaseError::Kind::Rejected: return ExitUsage;
    case DatabaseError::Kind::Unreachable:
    case DatabaseError::Kind::TimedOut:
    case DatabaseError::Kind::GaveUp: return ExitTryAgain;
    }
    std::unreachable();
}

QString Records(int count)
{
    return count == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(count);
}

}  // namespace

int RunInitDatabase(const Options &options, const Console &console)
{
    if (const auto made = InitDatabase(options.database); !made) {
        console.Tell(QString::fromStdString(made.error().text));
        return StatusOf(made.error());
    }
    console.Out(QStringLiteral("the database %1 holds the records' table and the sequence").arg(options.database));
    return ExitOk;
}

int RunSendRecords(const Options &options, const Console &console)
{
    const RecordSpool spool(RecordSpool::DefaultFolder());
    const auto sent = SendSpooledRecords(options.database, spool);
    if (!sent) {
        console.Tell(QString::fromStdString(sent.error().text) + QStringLiteral("; the records stay in the spool ") + spool.File());
        return StatusOf(sent.error());
    }
    console.Out(QStringLiteral("%1 sent to the database %2").arg(Records(sent->sent), options.database));
    if (sent->kept == 0)
        return ExitOk;
    console.Tell(QStringLiteral("%1 stay in the spool %2: %3").arg(Records(sent->kept), spool.File(), sent->why));
    return ExitTryAgain;
}

}  // namespace qw735
