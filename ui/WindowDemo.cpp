// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/TargetSim.h"
#include "ui/Fonts.h"
#include "ui/Form2.h"
#include "writer/FileSystem.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

// The program's own windows with a simulated board standing as Com1 and a
// small loader of its own, so that the whole path (port click, file dialog,
// main window, write) can be tried and pictured under an X server without
// touching the machine's serial ports. Board faults are not scripted: it
// plays a healthy board at the speed of a real cable.
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    qw735::ui::InstallFontSubstitutions();

    QTemporaryDir dir;
    const QString loader = dir.filePath(QStringLiteral("tqw735.bin"));
    QFile file(loader);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(QByteArray(512, '\x5A'));
    file.close();

    qw735::sim::BoardScript script;
    script.modelWireTime = true;
    script.keepServing = true;
    qw735::sim::TargetSim board(script);
    const QString device = QString::fromStdString(board.SlavePath());
    auto *form2 = new qw735::ui::Form2([device] { return QStringList{device}; },
                                       qw735::FileSystem::WithLoaderFile(loader));
    form2->show();
    const int status = QApplication::exec();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
