// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/FileSystem.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace qw735 {

FileSystem::FileSystem() : FileSystem(QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
{
}

FileSystem::FileSystem(QStringList dataDirs)
{
    for (const QString &dir : dataDirs)
        candidates_ << QDir(dir).filePath(QStringLiteral("%1/%2").arg(QLatin1String(LoaderFolder), QLatin1String(LoaderName)));
}

FileSystem FileSystem::WithLoaderFile(const QString &path)
{
    FileSystem fileSystem(QStringList{});
    fileSystem.candidates_ = {path};
    return fileSystem;
}

QString FileSystem::LoaderPath() const
{
    for (const QString &candidate : candidates_) {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return candidates_.value(0);
}

}  // namespace qw735
