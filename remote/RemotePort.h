// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ByteTransport.h"
#include "link/EventPump.h"
#include "link/PortSettings.h"
#include "remote/TelnetCodec.h"
#include "remote/TlsIdentity.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QSslError>
#include <QSslSocket>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace qw735 {

// How long a remote port waits for its server.
struct RemoteLimits {
    int connectMs = 5000;
    // For the server's agreement to com-port control, and for its
    // confirmation of the line settings.
    int serverReplyMs = 2000;
};

// A board's serial port on another machine, served over TCP with com-port
// control (RFC 2217): rfc2217://HOST:PORT, or with TLS under the Telnet
// layer: rfc2217+tls://HOST:PORT, as the client identity it is given (the
// CAs it trusts, its own certificate). The server's certificate must be
// signed by a trusted CA, be in force and name HOST; nothing turns that off.
//
// Before its hello, a TLS client listens for a moment: a plain Telnet
// server speaks first, a TLS server waits, and a plain port is refused
// before the hello's bytes could reach its board's line. After the
// handshake it waits for the server's first Telnet bytes before it sends
// any: a server that does not admit the client's certificate (or wants one)
// hangs up there. Each refusal says what to do, before the board has heard
// a byte.
//
// Open connects, agrees com-port control with the server and puts the line
// settings in force; ChangeSettings returns once the server has confirmed
// the new ones, so the first byte after it leaves at the new speed. Flow
// control is switched off; DTR and RTS are left as the server has them,
// since changing them resets some boards (and a server on a pseudo-terminal
// never answers for them), unless a rest state is asked for (RestLinesAt):
// then they are set to it once the settings are in force. Each change of
// the lines returns once the server has confirmed it, so a wait that
// follows is measured from the moment the server set them. Data is
// transparent both ways; the server's notifications never reach the data.
//
// Every wait here pumps the event pump it was given (see PumpUntil), within
// the limits it was given, and ends at once when the connection drops or
// Interrupt is called.
class RemotePort : public QObject, public LineTransport {
    Q_OBJECT
public:
    static constexpr const char *Scheme = "rfc2217";
    static constexpr const char *TlsScheme = "rfc2217+tls";

    // `url` as written, for messages; `tls`: over TLS, as this client;
    // `pump` must outlive the port.
    RemotePort(QString url, QString host, quint16 port, std::optional<TlsIdentity> tls, EventPump &pump, RemoteLimits limits = {},
               QObject *parent = nullptr);
    ~RemotePort() override;

    [[nodiscard]] std::expected<void, PortError> Open() override;
    void Close() override;
    bool IsOpen() const override;

    int WaitingCount() const override;
    QByteArray ReadAllWaiting() override;
    // Drops what is here and asks the server to drop what it holds; bytes
    // that come afterwards count as new.
    void Discard() override;
    void DropWaiting() override { received_.clear(); }
    [[nodiscard]] std::expected<void, PortError> WriteBytes(std::span<const std::uint8_t> values) override;

    // The URL as written.
    QString Describe() const override { return url_; }
    void Interrupt() override { interrupted_ = true; }
    void RestLinesAt(std::optional<ModemLines> idle) override { restLines_ = idle; }
    // SET-CONTROL for each line named, sent together; both confirmed before
    // it returns. The protocol has no command that sets both at once: the
    // server applies the two back to back.
    [[nodiscard]] std::expected<void, PortError> ChangeLines(const LineChange &change) override;
    bool IsRemote() const override { return true; }
    QByteArray ServerCertificateSha256() const override { return serverSha256_; }

private:
    // What the server's bytes may take here at most: in the socket, in the
    // receive buffer, in unsent answers. A write waits for one reply at a
    // time, so this is ample.
    static constexpr qsizetype ReadLimit = 64 * 1024;
    // The longest notice a server sends before it hangs up, as quoted.
    static constexpr qsizetype ServerWordsLimit = 200;

    // How long a TLS client listens for a plain server's first words before
    // its hello: twenty times what the connect took (about one network
    // round trip), at least 100 ms and at most 1 s. ser2net speaks within a
    // millisecond of the connect on a local network; a TLS server never
    // does.
    static constexpr int ListenFloorMs = 100;
    static constexpr int ListenCeilingMs = 1000;
    static constexpr int ListenRoundTrips = 20;

    // Who reads what the server sends: the codec, or nobody yet while the
    // client only listens whether the server speaks at all.
    enum class Phase { Listening, Telnet };

    // How a wait on the server ended.
    enum class ServerWait { Done, TimedOut, Dropped, Interrupted };

    // Each step of Open: its error's text is the reason alone.
    [[nodiscard]] std::expected<void, PortError> Connect();
    // Listens, shakes hands and waits for the server's first Telnet bytes.
    [[nodiscard]] std::expected<void, PortError> StartTls();
    QString HandshakeRefusal() const;
    // A drop where the server should have spoken first or answered: the
    // reason, with what to do when the port's kind explains it.
    PortError SilentDropReason() const;
    // Why the server hung up while the port was being opened, in its own
    // words where it gave any, with their likely cause.
    PortError HangUpReason() const;
    // The one line of text the server sent before it hung up, when that is
    // all it sent; empty otherwise.
    QString ServerWords() const;
    [[nodiscard]] std::expected<void, PortError> Negotiate();
    // The server applies the change in stream order, after every byte
    // already sent; its confirmation says the new speed is set.
    [[nodiscard]] std::expected<void, PortError> ApplySettings() override;
    // Sends the settings (and, when asked, no flow control) and waits until
    // the server has confirmed every one; the error says why it did not.
    [[nodiscard]] std::expected<void, PortError> PutInForce(const PortSettings &settings, bool withControl);
    // Asks for the change and waits for the server's word on each line;
    // the error's text is the reason alone.
    [[nodiscard]] std::expected<void, PortError> SendLines(const LineChange &change);
    // Waits until `done` holds, within `limitMs`. What the server said
    // before it hung up is taken first: it may be why, or the very answer
    // waited for.
    ServerWait WaitFor(const std::function<bool()> &done, int limitMs);
    // The server has hung up, or the connection is lost.
    bool Dropped() const;
    void Send(const std::vector<std::uint8_t> &bytes);
    void OnReadyRead();
    // Takes the server's answer to a line's command; false when the value
    // is no line's state (a flow control answer).
    bool TakeLineAnswer(std::uint32_t value);
    void OnDropped();
    void MarkLost(PortError loss);
    QString DropReason() const;

    QString url_;
    QString host_;
    quint16 port_ = 0;
    std::optional<TlsIdentity> tls_;  // over TLS, as this client
    QSslSocket socket_;
    Phase phase_ = Phase::Telnet;
    bool heard_ = false;  // the server has sent a byte on this connection
    bool hungUp_ = false; // the server has closed this connection
    int connectMs_ = 0;   // how long the connect took
    QList<QSslError> sslErrors_;
    QByteArray serverSha256_;
    EventPump &pump_;
    const RemoteLimits limits_;
    telnet::Codec codec_;
    telnet::Decoded decoded_;
    QByteArray received_;
    // Com-port commands sent and not yet confirmed, with the value asked for.
    std::map<std::uint8_t, std::uint32_t> unconfirmed_;
    bool refused_ = false;  // the server confirmed another value than asked
    // SET-CONTROL values for the lines sent and not yet confirmed.
    std::vector<std::uint8_t> linesUnconfirmed_;
    bool linesRefused_ = false;  // the server answered a line with the other state
    std::optional<ModemLines> restLines_;  // see RestLinesAt
    bool open_ = false;
    bool interrupted_ = false;
};

// The server a rfc2217:// (or, with `tls`, rfc2217+tls://) URL names:
// HOST:PORT and nothing else (no user, path, query or fragment), PORT
// 1..65535. Ports and slots both take their servers this way.
struct RemoteEndpoint {
    QString host;
    quint16 port = 0;
};
[[nodiscard]] std::optional<RemoteEndpoint> ParseRemoteEndpoint(const QString &url, bool tls);

}  // namespace qw735
