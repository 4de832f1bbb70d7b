// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/ConsoleDevices.h"
#include "link/PortMap.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

namespace qw735 {
namespace {

void WriteText(const QString &path, const char *text)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

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
    makeTty(QStringLiteral("ttyUSB3"), nullptr);  // the console as /proc/consoles lists it
    makeTty(QStringLiteral("ttyACM0"), nullptr);
    QDir(sys.path()).mkpath(QStringLiteral("tty1"));
    QDir(sys.path()).mkpath(QStringLiteral("console"));
    QFile console(sys.path() + QStringLiteral("/console/active"));
    ASSERT_TRUE(console.open(QIODevice::WriteOnly));
    console.write("tty0 ttyS0\n");
    console.close();
    const QString consoles = sys.filePath(QStringLiteral("consoles"));
    WriteText(consoles, "ttyUSB3              -W- (EC p  )  188:3\n");

    const QStringList expected = {QStringLiteral("/dev/ttyUSB2"), QStringLiteral("/dev/ttyUSB10"),
                                  QStringLiteral("/dev/ttyACM0"), QStringLiteral("/dev/ttyS2")};
    EXPECT_EQ(ComDevicesUnder(sys.path(), consoles), expected);

    const PortMap map = [&] { return ComDevicesUnder(sys.path(), consoles); };
    EXPECT_EQ(ComDevice(map, 2), QStringLiteral("/dev/ttyUSB10"));
    EXPECT_EQ(ComDevice(map, 5), QString());
    EXPECT_EQ(ComDevice(map, 11), QString());
}

// Which terminals no write may open, by name or device number only: no
// device is opened here, and no node with a console's numbers is made.
TEST(PortMap, TellsTheConsolesByTheOneRule)
{
    QTemporaryDir sys;
    QDir(sys.path()).mkpath(QStringLiteral("console"));
    WriteText(sys.filePath(QStringLiteral("console/active")), "ttyS0 pts/7\n");
    const QString procConsoles = sys.filePath(QStringLiteral("consoles"));
    WriteText(procConsoles, "ttyS0                -W- (EC  p a)    4:64\n"
                            "hvc0                 -W- (E   p  )  229:0\n");
    const ConsoleList consoles = ConsoleList::Read(sys.path(), procConsoles);
    const struct {
        const char *device;
        std::optional<dev_t> number;
        ConsoleRole role;
    } rows[] = {
        {"/dev/ttyS0", std::nullopt, ConsoleRole::SystemConsole},         // named in both lists
        {"/dev/pts/7", makedev(136, 7), ConsoleRole::SystemConsole},      // named in console/active only
        {"/dev/serial0", makedev(229, 0), ConsoleRole::SystemConsole},    // another name, a listed number
        {"/dev/console", makedev(5, 1), ConsoleRole::SystemConsole},
        {"/dev/tty0", makedev(4, 0), ConsoleRole::VirtualConsole},
        {"/dev/tty63", makedev(4, 63), ConsoleRole::VirtualConsole},
        {"/dev/tty", makedev(5, 0), ConsoleRole::ControllingTerminal},
        {"/dev/ttyS1", makedev(4, 65), ConsoleRole::None},
        {"/dev/ttyUSB0", makedev(188, 0), ConsoleRole::None},
        {"/dev/pts/2047", makedev(143, 255), ConsoleRole::None},
    };
    for (const auto &row : rows)
        EXPECT_EQ(ConsoleRoleOf(QString::fromLatin1(row.device), row.number, consoles), row.role) << row.device;
    EXPECT_EQ(ConsoleRefusal(ConsoleRole::SystemConsole),
              "it is the system console (the kernel's messages and logins go there), not a board's serial port");
    EXPECT_EQ(ConsoleRefusal(ConsoleRole::None), QString());
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
