// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/EndingSignals.h"
#include "base/WindowMain.h"
#include "station/StationWindow.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr const char *Usage =
    "Usage: qw735-station [JOB.toml | -h | --help | -V | --version]\n"
    "The station window: writes a job's program into the boards on a station's\n"
    "slots, a tile per slot, PASS or FAIL on each. Start all writes every board\n"
    "present; Automatic writes boards as they are plugged in. The job is opened\n"
    "read-only: what it writes cannot be changed in the window.\n";


int Run(int argc, char **argv)
{
    const std::string_view first = argc >= 2 ? argv[1] : "";
    if (first == "--version" || first == "-V") {
        std::printf("qw735-station %s\n", QW735_VERSION);
        return 0;
    }
    if (first == "--help" || first == "-h") {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (argc > 2 || (first.starts_with('-') && first != "-")) {
        std::fputs(Usage, stderr);
        return 64;
    }
    if (!qw735::HasGraphicalSession()) {
        std::fputs("qw735-station: the station window needs a graphical session, and there is none here (DISPLAY and\n"
                   "WAYLAND_DISPLAY are not set). To write a job's boards from this terminal, use qw735-write:\n"
                   "  qw735-write --job JOB.toml     (qw735-write --help tells more)\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qw735-station"));
    QApplication::setDesktopFileName(QStringLiteral("qw735-station"));

    // Ended by a session manager or a terminal, the window closes as the
    // operator would close it, having stopped the boards being written.
    qw735::EndingSignals ending;
    qw735::station::StationWindow window;
    QObject::connect(&ending, &qw735::EndingSignals::Received, &app, [&window] {
        window.SetAsk([](const QString &) { return true; });
        window.close();
    });
    window.show();
    if (argc == 2) {
        if (const auto opened = window.OpenJob(QString::fromLocal8Bit(argv[1])); !opened)
            QMessageBox::warning(&window, QStringLiteral("QW735 station"), opened.error());
    }
    const int status = QApplication::exec();
    if (const int signal = ending.Caught())
        qw735::EndingSignals::EndBy(signal);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    return qw735::WindowMain("qw735-station", [&] { return Run(argc, argv); });
}
