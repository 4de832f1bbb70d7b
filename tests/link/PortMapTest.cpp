// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortMap.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace qw735 {
namespace {

TEST(PortMap, PutsUsbAdaptersFirstAndSkipsEmptyUartsAndTheConsole)
{
    QTemporaryDir sys;
    const auto makeTty = [&](const QString &name, const char *type) {
        QDir(sys.path()).mkpath(name + QStringLiteral("/device"));
        if (type) {
            QFile file(sys.path() + u'/' + name + QStringLiteral("/type"));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(type);
        }
    };
    makeTty(QStringLiteral("ttyS0"), "4\n");   // the console
    makeTty(QStringLiteral("ttyS1"), "0\n");   // reserved, no chip
    makeTty(QStringLiteral("ttyS2"), "4\n");
    makeTty(QStringLiteral("ttyUSB10"), nullptr);
    makeTty(QStringLiteral("ttyUSB2"), nullptr);
    makeTty(QStringLiteral("ttyACM0"), nullptr);
    QDir(sys.path()).mkpath(QStringLiteral("tty1"));
    QDir(sys.path()).mkpath(QStringLiteral("console"));
    QFile console(sys.path() + QStringLiteral("/console/active"));
    ASSERT_TRUE(console.open(QIODevice::WriteOnly));
    console.write("tty0 ttyS0\n");
    console.close();

    const QStringList expected = {QStringLiteral("/dev/ttyUSB2"), QStringLiteral("/dev/ttyUSB10"),
                                  QStringLiteral("/dev/ttyACM0"), QStringLiteral("/dev/ttyS2")};
    EXPECT_EQ(ComDevicesUnder(sys.path()), expected);

    const PortMap map = [&] { return ComDevicesUnder(sys.path()); };
    EXPECT_EQ(ComDevice(map, 2), QStringLiteral("/dev/ttyUSB10"));
    EXPECT_EQ(ComDevice(map, 5), QString());
    EXPECT_EQ(ComDevice(map, 11), QString());
}

TEST(PortMap, ReadsComNames)
{
    EXPECT_EQ(ParseComName(QStringLiteral("COM1")), 1);
    EXPECT_EQ(ParseComName(QStringLiteral("com10")), 10);
    EXPECT_EQ(ParseComName(QStringLiteral("COM11")), 0);
    EXPECT_EQ(ParseComName(QStringLiteral("COM0")), 0);
    EXPECT_EQ(ParseComName(QStringLiteral("/dev/ttyUSB0")), std::nullopt);
}

}  // namespace
}  // namespace qw735
