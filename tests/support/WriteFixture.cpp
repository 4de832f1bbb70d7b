// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/WriteFixture.h"

#include "link/PortSettings.h"

#include <QFile>

namespace qw735::test {

std::vector<float> RecordingProgress::Values(char kind) const
{
    std::vector<float> values;
    for (const auto &[which, value] : calls)
        if (which == kind)
            values.push_back(value);
    return values;
}

QByteArray TestLoader(int size)
{
    QByteArray loader(size, 0);
    for (int i = 0; i < size; ++i)
        loader[i] = static_cast<char>((i * 7 + 0x11) & 0xFF);
    return loader;
}

QString WriteFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(data);
    return path;
}

WriteBench::WriteBench(sim::BoardScript script, int loaderSize)
    : host(std::move(script)),
      loaderPath(WriteFile(dir, QStringLiteral("tqw735.bin"), TestLoader(loaderSize))),
      fileSystem(FileSystem::WithLoaderFile(loaderPath))
{
}

WriteResult WriteBench::Write(const QByteArray &mot)
{
    return WriteFileAt(WriteFile(dir, QStringLiteral("program.mot"), mot));
}

WriteResult WriteBench::WriteFileAt(const QString &path)
{
    host.port.ChangeSettings(QString::fromLatin1(BootSettings));
    if (!host.port.Open())
        return {WriteOutcome::PortLost, QStringLiteral("cannot open")};
    return WriteTarget({host.link, fileSystem, progress, messages, path});
}

}  // namespace qw735::test
