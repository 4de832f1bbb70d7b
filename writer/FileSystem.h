// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>

namespace qw735 {

// Finds the loader program that the boot mode runs. It is looked for as
// qw735/tqw735.bin in the data directories, the user's own first
// (~/.local/share, then /usr/local/share, /usr/share). Created once per
// process; the command line and tests give a file or directories of their own.
class FileSystem {
public:
    // Searches the standard data directories.
    FileSystem();
    // Searches these data directories, in order.
    explicit FileSystem(QStringList dataDirs);
    // Uses exactly this loader file, wherever it is.
    static FileSystem WithLoaderFile(const QString &path);

    // The loader file to send: the first candidate that exists, otherwise
    // the first candidate (so that a message can still name a path).
    QString LoaderPath() const;
    // Every place the loader is looked for, in order.
    const QStringList &Candidates() const { return candidates_; }

private:
    static constexpr const char *LoaderName = "tqw735.bin";
    static constexpr const char *LoaderFolder = "qw735";

    QStringList candidates_;  // every place looked at, in order
};

}  // namespace qw735
