// SPDX-License-Identifier: GPL-2.0-or-later
#include "station/ShiftCounts.h"

#include "numbering/StateFile.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>

namespace qw735::station {

ShiftCounts::ShiftCounts(QString path) : path_(std::move(path))
{
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject kept = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonObject bySlot = kept.value(QLatin1String("slots")).toObject();
    for (auto slot = bySlot.begin(); slot != bySlot.end(); ++slot) {
        const QJsonObject tally = slot.value().toObject();
        tallies_.insert(slot.key(), {tally.value(QLatin1String("passed")).toInt(), tally.value(QLatin1String("failed")).toInt()});
    }
    for (const QJsonValue label : kept.value(QLatin1String("labels")).toArray())
        labels_.insert(label.toString());
}

QString ShiftCounts::StatePath()
{
    QString folder = qEnvironmentVariable("XDG_STATE_HOME");
    if (folder.isEmpty() || QDir::isRelativePath(folder))
        folder = QDir::homePath() + QStringLiteral("/.local/state");
    return folder + QStringLiteral("/qw735/station.json");
}

const ShiftCounts::Tally &ShiftCounts::Of(const QString &slot) const
{
    static const Tally none;
    const auto found = tallies_.constFind(slot);
    return found == tallies_.cend() ? none : *found;
}

ShiftCounts::Tally ShiftCounts::Total() const
{
    Tally total;
    for (const Tally &tally : tallies_) {
        total.passed += tally.passed;
        total.failed += tally.failed;
    }
    return total;
}

double ShiftCounts::Yield(const Tally &tally)
{
    const int written = tally.passed + tally.failed;
    return written == 0 ? 0.0 : 100.0 * tally.passed / written;
}

std::expected<void, QString> ShiftCounts::Count(const QString &slot, bool passed)
{
    Tally &tally = tallies_[slot];
    ++(passed ? tally.passed : tally.failed);
    return Store();
}

std::expected<void, QString> ShiftCounts::AddLabel(const QString &label)
{
    labels_.insert(label);
    return Store();
}

std::expected<void, QString> ShiftCounts::Reset()
{
    tallies_.clear();
    labels_.clear();
    return Store();
}

std::expected<void, QString> ShiftCounts::Store() const
{
    QJsonObject bySlot;
    for (auto tally = tallies_.cbegin(); tally != tallies_.cend(); ++tally)
        bySlot.insert(tally.key(), QJsonObject{{QStringLiteral("passed"), tally->passed}, {QStringLiteral("failed"), tally->failed}});
    QStringList sorted(labels_.cbegin(), labels_.cend());
    std::ranges::sort(sorted);
    const QJsonObject kept{{QStringLiteral("slots"), bySlot}, {QStringLiteral("labels"), QJsonArray::fromStringList(sorted)}};
    if (!QDir().mkpath(QFileInfo(path_).absolutePath()))
        return std::unexpected(QStringLiteral("Cannot make the folder of %1").arg(path_));
    auto file = StateFile::Open(QFile::encodeName(path_).toStdString(), "the station's counts");
    if (!file)
        return std::unexpected(QString::fromStdString(file.error().text));
    if (const auto replaced = file->Replace(QJsonDocument(kept).toJson(QJsonDocument::Compact).toStdString()); !replaced)
        return std::unexpected(QString::fromStdString(replaced.error().text));
    return {};
}

}  // namespace qw735::station
