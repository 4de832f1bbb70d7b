// SPDX-License-Identifier: GPL-2.0-or-later
#include "ui/Fonts.h"
#include "ui/Form2.h"

#include <QApplication>

// The window program: starts with the port selection window. No command
// line, no settings: the port and the file are chosen anew at every start.
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qw735"));
    qw735::ui::InstallFontSubstitutions();

    auto *form2 = new qw735::ui::Form2();
    form2->show();
    const int status = QApplication::exec();
    // A window closed mid-write deletes itself once its write has unwound,
    // which may be after the event loop stopped.
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
