// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QRect>
#include <QSize>

class QWidget;

namespace qw735::ui {

// The windows are laid out in twips: 1440 to the inch, 15 to a pixel at
// 96 dpi. Converting at the screen's logical DPI keeps the designed
// proportions with any screen scale, fonts included (they are in points).

// Pixels for `twips` at `dpi` logical dots per inch, rounded to nearest.
int TwipsToPixels(int twips, double dpi);

// Converts with the logical DPI of the screen `widget` is on.
QRect TwipsRect(const QWidget &widget, int left, int top, int width, int height);
QSize TwipsSize(const QWidget &widget, int width, int height);

}  // namespace qw735::ui
