// SPDX-License-Identifier: GPL-2.0-or-later
#include "ui/Fonts.h"

#include <QStringList>

namespace qw735::ui {

namespace {

constexpr const char *LabelFontFamily = "ＭＳ ゴシック";
constexpr const char *LabelFontStandIn = "IPAGothic";
constexpr const char *WindowFontFamily = "ＭＳ Ｐゴシック";
constexpr const char *WindowFontStandIn = "IPAPGothic";
constexpr int FontPoints = 9;

void Substitute(const char *family, const char *standIn)
{
    const QString name = QString::fromUtf8(family);
    const QString substitute = QString::fromUtf8(standIn);
    // insertSubstitution appends: calling it twice would list the stand-in twice.
    if (!QFont::substitutes(name).contains(substitute))
        QFont::insertSubstitution(name, substitute);
}

}  // namespace

void InstallFontSubstitutions()
{
    Substitute(LabelFontFamily, LabelFontStandIn);
    Substitute(WindowFontFamily, WindowFontStandIn);
}

QFont LabelFont()
{
    InstallFontSubstitutions();
    return QFont(QString::fromUtf8(LabelFontFamily), FontPoints);
}

QFont WindowFont()
{
    InstallFontSubstitutions();
    return QFont(QString::fromUtf8(WindowFontFamily), FontPoints);
}

}  // namespace qw735::ui
