// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/EndingSignals.h"
#include "base/WindowMain.h"
#include "ui/Fonts.h"
#include "ui/Form2.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr const char *Usage =
    "Usage: qw735 [-h | --help | -V | --version]\n"
    "Writes a program into a target board over a serial port, through the chip's\n"
    "serial boot mode. Opens the port window: click one of Com1..Com10, choose\n"
    "the S-record file (.mot), then press Write in the main window.\n";


// The window program: starts with the port selection window. No command
// line beyond --help and --version, no settings: the port and the file are
// chosen anew at every start.
int Run(int argc, char **argv)
{
    // Answered before Qt loads a display platform, so they work without one.
    const std::string_view only = argc == 2 ? argv[1] : "";
    if (only == "--version" || only == "-V") {
        std::printf("qw735 %s\n", QW735_VERSION);
        return 0;
    }
    if (only == "--help" || only == "-h") {
        std::fputs(Usage, stdout);
        return 0;
    }

    if (!qw735::HasGraphicalSession()) {
        std::fputs("qw735: the window program needs a graphical session, and there is none here (DISPLAY and\n"
                   "WAYLAND_DISPLAY are not set). To write a board from this terminal, use qw735-write:\n"
                   "  qw735-write PORT FILE.mot     (qw735-write --help tells more)\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qw735"));
    // Lets the desktop match the windows to the desktop entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral("qw735"));
    qw735::ui::InstallFontSubstitutions();

    // Ended by a session manager or a terminal, the program closes its
    // windows as the user would: a write running in the main window stops
    // and closes the port. Then it ends by that signal.
    qw735::EndingSignals ending;
    QObject::connect(&ending, &qw735::EndingSignals::Received, &app, [] { QApplication::closeAllWindows(); });

    auto *form2 = new qw735::ui::Form2();
    form2->show();
    const int status = QApplication::exec();
    // A window closed mid-write deletes itself once its write has unwound,
    // which may be after the event loop stopped.
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (const int signal = ending.Caught())
        qw735::EndingSignals::EndBy(signal);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    return qw735::WindowMain("qw735", [&] { return Run(argc, argv); });
}
