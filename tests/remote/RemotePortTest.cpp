// SPDX-License-Identifier: GPL-2.0-or-later
#include "ports/PortName.h"
#include "remote/RemotePort.h"
#include "remote/TelnetCodec.h"
#include "tests/support/HostFixture.h"
#include "tests/support/Ser2netServer.h"

#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

namespace qw735::test {
namespace {

using namespace qw735::telnet;

std::unique_ptr<ByteTransport> Remote(const QString &url, EventPump &pump)
{
    auto name = PortName::Parse(url);
    EXPECT_TRUE(name) << name.error().toStdString();
    return name ? name->MakeTransport(pump, std::nullopt) : nullptr;
}

TEST(RemotePort, OpenFailuresSayWhy)
{
    enum class Server { None, Refusing, Silent, Ser2netInUse };
    using enum PortError::Kind;
    const struct {
        const char *name;
        Server server;
        bool interrupt;  // Ctrl-C while waiting
        std::string reason;
        PortError::Kind kind;
        bool tls = false;  // rfc2217+tls://
    } rows[] = {
        {"ConnectionRefused", Server::None, false, "the connection was refused", ServerRefused},
        {"ComPortControlRefused", Server::Refusing, false, "the server does not offer serial-port control (RFC 2217)", NoComPortControl},
        {"ComPortControlUnanswered", Server::Silent, false, "the server does not offer serial-port control (RFC 2217)", NoComPortControl},
        {"InterruptedWhileNegotiating", Server::Silent, true, "interrupted", Interrupted},
        // Past the listening moment, waiting for a handshake that never comes.
        {"InterruptedDuringTheTlsHandshake", Server::Silent, true, "interrupted", Interrupted, true},
        // Another client has the board: ser2net says so in a line and hangs up.
        {"PortInUseOnTheServer", Server::Ser2netInUse, false, "the server hung up, saying \"Port already in use\"", ServerHungUp},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<ScriptedPeer> peer;
        if (row.server == Server::Refusing || row.server == Server::Silent)
            peer.emplace(row.server == Server::Refusing ? ScriptedPeer::Answer::Refuses : ScriptedPeer::Answer::Silent);
        std::optional<sim::TargetSim> board;
        std::optional<Ser2netServer> server;
        QTcpSocket first;
        if (row.server == Server::Ser2netInUse) {
            server.emplace(board.emplace().SlavePath(), Ser2netServer::Options{.kickOldUser = false});
            const QUrl url(QString::fromStdString(server->Url()));
            first.connectToHost(url.host(), static_cast<quint16>(url.port()));
            ASSERT_TRUE(first.waitForReadyRead(5000));  // the server has taken it and opened the device
        }
        QString url = peer ? peer->Url() : server ? QString::fromStdString(server->Url()) : QStringLiteral("rfc2217://127.0.0.1:%1").arg(FreeTcpPort());
        if (row.tls)
            url.replace(QStringLiteral("rfc2217:"), QStringLiteral("rfc2217+tls:"));
        QtEventPump pump;
        const auto line = Remote(url, pump);
        Link link(*line, pump);
        if (row.interrupt)
            QTimer::singleShot(row.tls ? 1000 : 50, &link, [&link] { link.Abandon(); });
        auto opened = line->Open();
        // ser2net hangs up with our offer unread, which the kernel may turn
        // into a reset that throws away the line it said; the port then says
        // only that the server closed. The words are what is checked here,
        // so such a loss is tried again, a few times at most.
        for (int again = 0; row.server == Server::Ser2netInUse && again < 3 && !opened &&
                            opened.error().text.endsWith(QStringLiteral(": the server closed the connection"));
             ++again)
            opened = line->Open();
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().text.toStdString(), "Cannot open " + url.toStdString() + ": " + row.reason);
        EXPECT_EQ(opened.error().kind, row.kind);
        EXPECT_FALSE(line->IsOpen());
    }
}

// A new speed is in force only once the server has confirmed it, so the
// writer's next byte cannot leave at the old one; a discard also empties
// what the server holds.
TEST(RemotePort, SettingsWaitForTheServerAndADiscardPurgesIt)
{
    ScriptedPeer peer(ScriptedPeer::Answer::AgreesSlowly);
    QtEventPump pump;
    const auto line = Remote(peer.Url(), pump);
    Link link(*line, pump);
    ASSERT_TRUE(line->Open());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(line->ChangeSettings(LoaderSettings()));
    EXPECT_GE(MsSince(start), ScriptedPeer::SpeedAnswerMs);
    EXPECT_EQ(line->Settings(), LoaderSettings());
    line->Discard();
    EXPECT_TRUE(PumpUntil([&] { return peer.purges == 1; }, std::chrono::seconds(2)));
}

// Notifications, commands and doubled 0xFF from the server, in any split:
// only the data is left.
TEST(TelnetCodec, LeavesOnlyTheData)
{
    const std::pair<QList<QByteArray>, QByteArray> rows[] = {
        {{Bytes({0x11, Iac, Sb, OptionComPort, 107, 0x30, Iac, Se, 0x13}),
          Bytes({Iac, Sb, OptionComPort, 106, 0x60, Iac, Se, 0x06, Iac, 241, 0xAA, Iac, Will, 1})},
         Bytes({0x11, 0x13, 0x06, 0xAA})},
        {{Bytes({0x01, Iac}), Bytes({Iac, 0x02, Iac, Sb, OptionComPort}), Bytes({107, 0x00, Iac}), Bytes({Se, Iac, Iac})},
         Bytes({0x01, 0xFF, 0x02, 0xFF})},
    };
    for (const auto &[segments, data] : rows) {
        Codec codec;
        codec.Start();
        Decoded out;
        for (const QByteArray &segment : segments)
            codec.Feed(std::span(reinterpret_cast<const std::uint8_t *>(segment.constData()), static_cast<std::size_t>(segment.size())), out);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(out.data.data()), static_cast<qsizetype>(out.data.size())).toHex(' ').toStdString(),
                  data.toHex(' ').toStdString());
    }
}

}  // namespace
}  // namespace qw735::test
