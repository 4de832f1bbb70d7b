// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QFont>
#include <QString>

namespace qw735::ui {

// The fonts as designed: a fixed-pitch Gothic for the port labels, its
// proportional sibling for everything else (captions, buttons, the main
// window's labels, where the fixed-pitch one would cut "S File:" short).
// Linux systems rarely have either; the IPA Gothic fonts (Debian package
// fonts-ipafont-gothic) have the same metrics and stand in for them, so the
// layout holds and Japanese text renders instead of boxes.

// Registers the stand-ins once per process; safe to call again.
void InstallFontSubstitutions();

// The port labels' font, with its stand-in registered.
QFont LabelFont();
// The windows' own font, with its stand-in registered.
QFont WindowFont();

}  // namespace qw735::ui
