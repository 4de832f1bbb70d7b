// SPDX-License-Identifier: GPL-2.0-or-later
#include <QCoreApplication>
#include <gtest/gtest.h>

// The link needs a Qt event loop on the test's thread.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
