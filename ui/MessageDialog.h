// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

class QWidget;

namespace qw735::ui {

// One text, no icon, a single OK button, titled "QW735", object name
// "MessageDialog"; modal, returns once the user has dismissed it. Used for
// the result of a write and for the windows' own messages (a port that
// cannot be opened).
void ShowMessageDialog(QWidget *parent, const QString &text);

}  // namespace qw735::ui
