// SPDX-License-Identifier: GPL-2.0-or-later
#include "ui/Fonts.h"

#include <QApplication>
#include <gtest/gtest.h>

// The windows need a QApplication; they run on the offscreen platform unless
// the caller picked another one.
int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qw735::ui::InstallFontSubstitutions();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
