// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/EventPump.h"
#include "ports/ComPort.h"
#include "ports/PortName.h"
#include "remote/RemotePort.h"

#include <gtest/gtest.h>

namespace qw735::test {
namespace {

TEST(PortName, RefusesMalformedUrlsAsUsageErrors)
{
    for (const char *url : {"rfc2217://127.0.0.1", "rfc2217://:4000", "rfc2217://host:0", "rfc2217://host:70000",
                            "rfc2217://host:4000/board", "rfc2217://user@host:4000", "rfc2217:host:4000",
                            "rfc2217+tls://127.0.0.1", "rfc2217+tls://host:4000/board", "rfc2217+tls:host:4000"}) {
        const auto line = PortName::Parse(QString::fromLatin1(url));
        ASSERT_FALSE(line) << url;
        const std::string scheme(url, std::string_view(url).find(':'));
        EXPECT_EQ(line.error().toStdString(), std::string(url) + " is no remote port: write " + scheme + "://HOST:PORT, PORT 1..65535");
    }
    for (const char *url : {"RFC2217://[::1]:4000/", "rfc2217+TLS://pi.local:4000"}) {
        const auto line = PortName::Parse(QString::fromLatin1(url));
        ASSERT_TRUE(line) << url;
        EXPECT_EQ(line->Describe(), QString::fromLatin1(url));
        EXPECT_TRUE(line->IsRemote());
    }
}

// Each scheme claims its own texts, and the line it makes is its own: a
// Com looked up in the COM map when it opens, a device by its path, a
// server plain or over TLS. Nothing is opened.
TEST(PortName, EachSchemeMakesItsOwnLine)
{
    enum class Line { Com, Device, Remote };
    const struct {
        const char *text;
        Line line;
        const char *described;
        bool tls = false;
    } rows[] = {
        {"COM1", Line::Com, "COM1 (/dev/ttyUSB7)"},
        {"com2", Line::Com, "COM2"},
        {"/dev/ttyUSB7", Line::Device, "/dev/ttyUSB7"},
        {"ttyUSB7", Line::Device, "ttyUSB7"},
        {"COM1.mot", Line::Device, "COM1.mot"},
        {"rfc2217://pi.local:4000", Line::Remote, "rfc2217://pi.local:4000"},
        {"rfc2217+tls://pi.local:4000", Line::Remote, "rfc2217+tls://pi.local:4000", true},
    };
    QtEventPump pump;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        const auto name = PortName::Parse(QString::fromLatin1(row.text), [] { return QStringList{QStringLiteral("/dev/ttyUSB7")}; });
        ASSERT_TRUE(name);
        EXPECT_EQ(name->Describe().toStdString(), row.described);
        EXPECT_EQ(name->IsRemote(), row.line == Line::Remote);
        EXPECT_EQ(name->IsTls(), row.tls);
        const auto line = name->MakeTransport(pump, std::nullopt);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->Describe().toStdString(), row.described);
        EXPECT_EQ(line->IsRemote(), row.line == Line::Remote);
        const auto *com = dynamic_cast<const ComPort *>(line.get());
        EXPECT_EQ(com != nullptr, row.line == Line::Com);
        EXPECT_EQ(dynamic_cast<const SerialPort *>(line.get()) != nullptr, row.line != Line::Remote);
        if (com) {
            EXPECT_EQ(com->PortNumber(), QString::fromLatin1(row.text).mid(3).toInt());
        }
    }
}

}  // namespace
}  // namespace qw735::test
