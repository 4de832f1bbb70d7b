// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QIcon>
#include <QString>

namespace qw735::ui {

// The program's icon (ui/qw735.svg rendered at 48x48), the one the desktop
// entry names. It is compiled in, so the windows carry it wherever the
// program runs from, installed or not.
inline QIcon WindowIcon()
{
    return QIcon(QStringLiteral(":/qw735/qw735.png"));
}

}  // namespace qw735::ui
