// SPDX-License-Identifier: GPL-2.0-or-later
#include "ui/Twips.h"

#include <QWidget>
#include <cmath>

namespace qw735::ui {

namespace {

constexpr int TwipsPerInch = 1440;

}  // namespace

int TwipsToPixels(int twips, double dpi)
{
    return static_cast<int>(std::lround(twips * dpi / TwipsPerInch));
}

QRect TwipsRect(const QWidget &widget, int left, int top, int width, int height)
{
    const double x = widget.logicalDpiX();
    const double y = widget.logicalDpiY();
    // Edges are converted, not sizes, so that neighbours designed to touch
    // still touch after rounding.
    const int l = TwipsToPixels(left, x);
    const int t = TwipsToPixels(top, y);
    return QRect(QPoint(l, t), QPoint(TwipsToPixels(left + width, x) - 1, TwipsToPixels(top + height, y) - 1));
}

QSize TwipsSize(const QWidget &widget, int width, int height)
{
    return QSize(TwipsToPixels(width, widget.logicalDpiX()), TwipsToPixels(height, widget.logicalDpiY()));
}

}  // namespace qw735::ui
