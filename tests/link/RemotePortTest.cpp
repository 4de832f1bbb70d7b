// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/PortName.h"
#include "link/RemotePort.h"
#include "link/TelnetCodec.h"
#include "sim/Ser2netServer.h"
#include "tests/support/HostFixture.h"
#include "tests/support/WriteFixture.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <gtest/gtest.h>

namespace qw735::test {
namespace {

using namespace std::chrono_literals;
using namespace qw735::telnet;

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int value : values)
        bytes.append(static_cast<char>(value));
    return bytes;
}

// A Telnet server of our own, for what ser2net will not do on demand. It
// answers the offer of com-port control as told, confirms every com-port
// command with the value asked for, and sends whatever the test gives it.
class ScriptedPeer {
public:
    enum class ComPortAnswer { Agree, Refuse, Silent };

    explicit ScriptedPeer(ComPortAnswer answer) : answer_(answer)
    {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            client_ = server_.nextPendingConnection();
            QObject::connect(client_, &QTcpSocket::readyRead, [this] { OnData(); });
        });
    }
    QString Url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(server_.serverPort()); }

    // Each segment goes out on its own and is read by the client before the
    // next one is sent, as when they cross the network in separate packets.
    void SendSegments(const QList<QByteArray> &segments)
    {
        // The client's purge at the end of its open is answered first.
        for (const QByteArray &segment : segments) {
            PumpUntil([] { return false; }, 20ms);
            client_->write(segment);
            client_->flush();
        }
    }

private:
    void OnData()
    {
        in_ += client_->readAll();
        for (;;) {
            if (in_.startsWith(Bytes({Iac, Will, OptionComPort}))) {
                if (answer_ != ComPortAnswer::Silent)
                    client_->write(Bytes({Iac, answer_ == ComPortAnswer::Agree ? Do : Dont, OptionComPort}));
                in_.remove(0, 3);
            } else if (in_.startsWith(Bytes({Iac, Sb}))) {
                const qsizetype end = in_.indexOf(Bytes({Iac, Se}));
                if (end < 0)
                    return;
                // The command byte plus 100 and the same value: done as asked.
                QByteArray answer = in_.left(end + 2);
                answer[3] = static_cast<char>(answer[3] + ServerAnswer);
                client_->write(answer);
                in_.remove(0, end + 2);
            } else if (in_.startsWith(static_cast<char>(Iac))) {
                if (in_.size() < 3)
                    return;
                in_.remove(0, 3);  // other negotiation: nothing to say
            } else if (!in_.isEmpty()) {
                in_.remove(0, 1);
            } else {
                return;
            }
        }
    }

    ComPortAnswer answer_;
    QTcpServer server_;
    QTcpSocket *client_ = nullptr;
    QByteArray in_;
};

std::unique_ptr<ByteTransport> Remote(const QString &url)
{
    auto line = TransportForPort(url);
    EXPECT_TRUE(line) << line.error().toStdString();
    return line ? std::move(*line) : nullptr;
}

// Through Debian's ser2net to the board's pseudo-terminal: every byte value
// both ways (0xFF doubled on the network), and the speed switched on the
// board's line before the loader hears a byte at 38400.
TEST(RemotePort, CarriesAWholeWriteByteExactThroughSer2net)
{
    sim::TargetSim board;
    sim::Ser2netServer server(board.SlavePath());
    const auto line = Remote(QString::fromStdString(server.Url()));
    QtEventPump pump;
    Link link(*line, pump);

    QTemporaryDir dir;
    QByteArray loader(512, 0);
    for (int i = 0; i < loader.size(); ++i)
        loader[i] = static_cast<char>(255 - i % 256);
    const QString mot = WriteFile(dir, QStringLiteral("ff.mot"),
                                  "S1130000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC\n"
                                  "S1131FF0FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED\n");
    const FileSystem fileSystem = FileSystem::WithLoaderFile(WriteFile(dir, QStringLiteral("tqw735.bin"), loader));
    NoProgress progress;
    RecordingMessageBox messages;

    ASSERT_TRUE(line->Open());
    const WriteResult result = WriteTarget({link, fileSystem, progress, messages, mot});
    EXPECT_EQ(result.message.toStdString(), "O.K.");

    const sim::WriteRecord write = board.LastWrite();
    EXPECT_EQ(write.loader, std::vector<std::uint8_t>(loader.begin(), loader.end()));
    EXPECT_EQ(write.imageSize, 8256u);
    EXPECT_EQ(write.image, std::vector<std::uint8_t>(8256, 0xFF));
    EXPECT_TRUE(write.checksumRight);
    const auto seen = board.SettingsSeen();
    EXPECT_EQ(seen.at(sim::Phase::LoaderBody).baud, 9600);
    EXPECT_EQ(seen.at(sim::Phase::Command).baud, 38400);
}

TEST(RemotePort, RefusesMalformedUrlsAsUsageErrors)
{
    for (const char *url : {"rfc2217://127.0.0.1", "rfc2217://:4000", "rfc2217://host:0", "rfc2217://host:70000",
                            "rfc2217://host:4000/board", "rfc2217://user@host:4000", "rfc2217:host:4000"}) {
        const auto line = TransportForPort(QString::fromLatin1(url));
        ASSERT_FALSE(line) << url;
        EXPECT_EQ(line.error().toStdString(), std::string(url) + " is no remote port: write rfc2217://HOST:PORT, PORT 1..65535");
    }
    const auto line = TransportForPort(QStringLiteral("RFC2217://[::1]:4000/"));
    ASSERT_TRUE(line);
    EXPECT_EQ((*line)->Describe(), QStringLiteral("RFC2217://[::1]:4000/"));
}

struct OpenFailure {
    std::string name;
    std::optional<ScriptedPeer::ComPortAnswer> peer;  // none: nobody listens
    bool interrupt = false;                           // Ctrl-C while waiting
    std::string reason;
};

void PrintTo(const OpenFailure &row, std::ostream *out)
{
    *out << row.name;
}

class RemoteOpenFailures : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(RemoteOpenFailures, EndTheOpenWithTheirReason)
{
    const OpenFailure &row = GetParam();
    std::optional<ScriptedPeer> peer;
    QString url;
    if (row.peer) {
        url = peer.emplace(*row.peer).Url();
    } else {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(closed.serverPort());
    }
    const auto line = Remote(url);
    QtEventPump pump;
    Link link(*line, pump);
    if (row.interrupt)
        QTimer::singleShot(50, &link, [&link] { link.Abandon(); });

    const auto opened = line->Open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().toStdString(), "Cannot open " + url.toStdString() + ": " + row.reason);
    EXPECT_FALSE(line->IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoteOpenFailures,
    ::testing::Values(
        OpenFailure{"ConnectionRefused", std::nullopt, false, "the connection was refused"},
        OpenFailure{"ComPortControlRefused", ScriptedPeer::ComPortAnswer::Refuse, false,
                    "the server does not offer serial-port control (RFC 2217)"},
        OpenFailure{"ComPortControlUnanswered", ScriptedPeer::ComPortAnswer::Silent, false,
                    "the server does not offer serial-port control (RFC 2217)"},
        OpenFailure{"InterruptedWhileNegotiating", ScriptedPeer::ComPortAnswer::Silent, true, "interrupted"}),
    [](const auto &info) { return info.param.name; });

struct ServerStream {
    std::string name;
    QList<QByteArray> segments;
    QByteArray data;  // what the link must see of it
};

void PrintTo(const ServerStream &row, std::ostream *out)
{
    *out << row.name;
}

class RemoteServerStreams : public ::testing::TestWithParam<ServerStream> {};

TEST_P(RemoteServerStreams, LeaveOnlyTheDataWaiting)
{
    const ServerStream &row = GetParam();
    ScriptedPeer peer(ScriptedPeer::ComPortAnswer::Agree);
    const auto line = Remote(peer.Url());
    ASSERT_TRUE(line->Open());

    peer.SendSegments(row.segments);
    ASSERT_TRUE(PumpUntil([&] { return line->WaitingCount() >= row.data.size(); }, 2s));
    PumpUntil([] { return false; }, 20ms);
    EXPECT_EQ(line->ReadAllWaiting().toHex(' ').toStdString(), row.data.toHex(' ').toStdString());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoteServerStreams,
    ::testing::Values(
        ServerStream{"NotificationsAmidData",
                     {Bytes({0x11, Iac, Sb, OptionComPort, 107, 0x30, Iac, Se, 0x13}),
                      Bytes({Iac, Sb, OptionComPort, 106, 0x60, Iac, Se, 0x06, Iac, 241, 0xAA, Iac, Will, 1})},
                     Bytes({0x11, 0x13, 0x06, 0xAA})},
        ServerStream{"IacIacSplitAcrossSegments",
                     {Bytes({0x01, Iac}), Bytes({Iac, 0x02, Iac, Sb, OptionComPort}), Bytes({107, 0x00, Iac}),
                      Bytes({Se, Iac, Iac})},
                     Bytes({0x01, 0xFF, 0x02, 0xFF})}),
    [](const auto &info) { return info.param.name; });

}  // namespace
}  // namespace qw735::test
