// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/TargetSim.h"
#include "station/StationWindow.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

bool Write(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray Sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

}  // namespace

// The station window on four slots of simulated boards, with a job, a
// program and a loader of its own, for trying the window and picturing it
// without a board: two boards that pass, one that never answers, and an
// empty slot; each board is given a serial number. With
// --screenshot FILE, it writes every board at once, saves the window as a
// PNG once all have ended, and quits.
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString screenshot = argc == 3 && QByteArray(argv[1]) == "--screenshot" ? QString::fromLocal8Bit(argv[2]) : QString();

    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("slots"));
    QByteArray program;
    for (int line = 0; line < 64; ++line) {
        QByteArray record = QByteArray::number(0x13, 16).rightJustified(2, '0') + QByteArray::number(line * 16, 16).rightJustified(4, '0');
        int sum = 0x13 + ((line * 16) >> 8) + ((line * 16) & 0xFF);
        for (int i = 0; i < 16; ++i) {
            const int value = (line * 16 + i) & 0xFF;
            record += QByteArray::number(value, 16).rightJustified(2, '0');
            sum += value;
        }
        program += "S1" + record.toUpper() + QByteArray::number(~sum & 0xFF, 16).rightJustified(2, '0').toUpper() + '\n';
    }
    const QByteArray loader(512, '\x5A');
    if (!Write(dir.filePath(QStringLiteral("board.mot")), program) || !Write(dir.filePath(QStringLiteral("tqw735.bin")), loader)
        || !Write(dir.filePath(QStringLiteral("serial.txt")), "240001\n"))
        return 1;

    qw735::sim::BoardScript healthy;
    healthy.modelWireTime = healthy.lightWireTime = true;
    healthy.keepServing = true;
    qw735::sim::BoardScript silent = healthy;
    silent.syncAfterZeros = 0;
    std::vector<std::unique_ptr<qw735::sim::TargetSim>> boards;
    for (const auto &script : {healthy, healthy, silent})
        boards.push_back(std::make_unique<qw735::sim::TargetSim>(script));
    QByteArray slotList;
    for (int slot = 0; slot < 4; ++slot) {
        const QString path = dir.filePath(QStringLiteral("slots/slot%1").arg(slot + 1));
        slotList += (slot ? ", \"" : "\"") + QFile::encodeName(path) + '"';
        if (slot < static_cast<int>(boards.size()) && ::symlink(boards[static_cast<std::size_t>(slot)]->SlavePath().c_str(), QFile::encodeName(path).constData()) != 0)
            return 1;
    }
    const QByteArray job = "program = \"board.mot\"\nprogram_sha256 = \"" + Sha256(program) + "\"\nloader = \"tqw735.bin\"\nloader_sha256 = \"" +
                           Sha256(loader) + "\"\nreport = \"records.jsonl\"\nports = [" + slotList +
                           "]\n\n[numbering]\naddress = 0x3F0\nformat = \"ascii:8\"\nsource = \"counter:serial.txt\"\nover_data = true\n";
    if (!Write(dir.filePath(QStringLiteral("line3.toml")), job))
        return 1;

    qw735::station::StationWindow window(dir.filePath(QStringLiteral("state/station.json")));
    window.resize(1000, 840);
    window.show();
    if (const auto opened = window.OpenJob(dir.filePath(QStringLiteral("line3.toml"))); !opened) {
        std::fprintf(stderr, "qw735-station-demo: %s\n", qPrintable(opened.error()));
        return 1;
    }
    if (!screenshot.isEmpty()) {
        int ended = 0;
        QObject::connect(&window, &qw735::station::StationWindow::BoardEnded, &window, [&] {
            if (++ended < static_cast<int>(boards.size()))
                return;
            // A moment for the last tile to be painted.
            QTimer::singleShot(300, &window, [&] {
                const bool saved = window.grab().save(screenshot, "PNG");
                QApplication::exit(saved ? 0 : 1);
            });
        });
        window.Scan(QStringLiteral("LBL-2026-0001"));
        window.StartAll();
    }
    return QApplication::exec();
}
