// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/RemotePort.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <utility>

namespace qw735 {

namespace {

std::uint8_t ParityCode(QSerialPort::Parity parity)
{
    switch (parity) {
    case QSerialPort::OddParity: return telnet::ParityOdd;
    case QSerialPort::EvenParity: return telnet::ParityEven;
    case QSerialPort::MarkParity: return telnet::ParityMark;
    case QSerialPort::SpaceParity: return telnet::ParitySpace;
    default: return telnet::ParityNone;
    }
}

std::uint8_t StopCode(QSerialPort::StopBits stopBits)
{
    switch (stopBits) {
    case QSerialPort::TwoStop: return telnet::StopTwo;
    case QSerialPort::OneAndHalfStop: return telnet::StopOneAndHalf;
    default: return telnet::StopOne;
    }
}

using Kind = PortError::Kind;

std::unexpected<PortError> Refused(Kind kind, const QString &reason)
{
    return std::unexpected(PortError{kind, reason});
}

// Why a wait inside Open or ChangeSettings failed, where the reason is the
// same whichever wait it was.
std::unexpected<PortError> Interrupted()
{
    return Refused(Kind::Interrupted, QStringLiteral("interrupted"));
}

std::unexpected<PortError> NoComPortControl()
{
    return Refused(Kind::NoComPortControl, QStringLiteral("the server does not offer serial-port control (RFC 2217)"));
}

// ser2net accepts every connection; one it cannot serve it answers with a
// line of text among the data, then hangs up. This line starts its notice
// when it cannot open its serial device ("Device open failure: Value or
// file not found" for a device that is not there).
constexpr QLatin1StringView DeviceOpenFailure("Device open failure");

// A server's notice: printable ASCII.
bool IsNoticeText(const QByteArray &line)
{
    return !line.isEmpty() && std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

RemotePort::RemotePort(QString url, QString host, quint16 port, std::optional<TlsIdentity> tls, EventPump &pump, RemoteLimits limits,
                       QObject *parent)
    : QObject(parent), url_(std::move(url)), host_(std::move(host)), port_(port), tls_(std::move(tls)), pump_(pump), limits_(limits)
{
    // A server may send without end, wanted or not: what waits here stays
    // within bounds however fast it comes.
    socket_.setReadBufferSize(ReadLimit);
    connect(&socket_, &QTcpSocket::readyRead, this, &RemotePort::OnReadyRead);
    connect(&socket_, &QTcpSocket::disconnected, this, &RemotePort::OnDropped);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &RemotePort::OnDropped);
    // Qt drops the connection after this signal: nothing here ignores an error.
    connect(&socket_, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) { sslErrors_ = errors; });
    if (!tls_)
        return;
    const TlsIdentity &identity = *tls_;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!identity.cas.isEmpty())
        configuration.setCaCertificates(identity.cas);
    if (!identity.certificate.isNull()) {
        configuration.setLocalCertificate(identity.certificate);
        configuration.setPrivateKey(identity.key);
    }
    socket_.setSslConfiguration(configuration);
}

RemotePort::~RemotePort()
{
    Close();
}

std::expected<void, PortError> RemotePort::Open()
{
    Close();
    ForgetLoss();
    codec_ = telnet::Codec();
    unconfirmed_.clear();
    refused_ = false;
    linesUnconfirmed_.clear();
    linesRefused_ = false;
    heard_ = false;
    hungUp_ = false;
    sslErrors_.clear();
    serverSha256_.clear();
    phase_ = tls_ ? Phase::Listening : Phase::Telnet;

    auto opened = Connect();
    if (opened && tls_)
        opened = StartTls();
    if (opened)
        opened = Negotiate();
    if (opened)
        opened = PutInForce(Settings(), true);
    if (opened && restLines_)
        opened = SendLines({restLines_->dtr, restLines_->rts});
    if (!opened) {
        Close();
        return Refused(opened.error().kind, QStringLiteral("Cannot open %1: %2").arg(url_, opened.error().text));
    }
    open_ = true;
    Discard();
    return {};
}

std::expected<void, PortError> RemotePort::Connect()
{
    QElapsedTimer connecting;
    connecting.start();
    socket_.connectToHost(host_, port_);
    const ServerWait end = WaitFor([this] { return socket_.state() == QAbstractSocket::ConnectedState; }, limits_.connectMs);
    connectMs_ = static_cast<int>(connecting.elapsed());
    switch (end) {
    case ServerWait::Done:
        break;
    case ServerWait::Interrupted:
        return Interrupted();
    case ServerWait::TimedOut:
        return Refused(Kind::ServerUnreachable, QStringLiteral("no answer from %1 within %2 s").arg(host_).arg(limits_.connectMs / 1000));
    case ServerWait::Dropped:
        switch (socket_.error()) {
        case QAbstractSocket::HostNotFoundError:
            return Refused(Kind::UnknownHost, QStringLiteral("the name %1 does not resolve").arg(host_));
        case QAbstractSocket::ConnectionRefusedError:
            return Refused(Kind::ServerRefused, QStringLiteral("the connection was refused"));
        default:
            return Refused(Kind::ServerUnreachable, DropReason());
        }
    }
    // One reply per loader byte: a delayed small segment would cost a
    // round trip each time.
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return {};
}

std::expected<void, PortError> RemotePort::StartTls()
{
    const QString plainUrl = QStringLiteral("%1://%2:%3").arg(QLatin1String(Scheme), host_).arg(port_);
    switch (WaitFor([this] { return heard_; }, std::clamp(ListenRoundTrips * connectMs_, ListenFloorMs, ListenCeilingMs))) {
    case ServerWait::TimedOut:
        break;
    case ServerWait::Done:
        return Refused(Kind::WrongScheme, QStringLiteral("the server speaks plain RFC 2217, not TLS; nothing was sent. "
                                                   "Write %1 to use it without TLS, or give the server a TLS accepter")
                                        .arg(plainUrl));
    case ServerWait::Interrupted:
        return Interrupted();
    case ServerWait::Dropped:
        return Refused(Kind::ServerHungUp, DropReason());
    }

    socket_.startClientEncryption();
    // A key that does not belong to the certificate fails here, before the
    // hello, as a context the TLS library cannot make; the connection
    // itself stays up.
    switch (WaitFor([this] { return socket_.isEncrypted() || socket_.error() == QAbstractSocket::SslInternalError; },
                    limits_.connectMs)) {
    case ServerWait::Done:
        if (socket_.isEncrypted())
            break;
        [[fallthrough]];
    case ServerWait::Dropped:
        return Refused(Kind::TlsRefused, HandshakeRefusal());
    case ServerWait::Interrupted:
        return Interrupted();
    case ServerWait::TimedOut:
        return Refused(Kind::TlsRefused, QStringLiteral("the server did not finish the TLS handshake within %1 s").arg(limits_.connectMs / 1000));
    }
    serverSha256_ = socket_.peerCertificate().digest(QCryptographicHash::Sha256).toHex();

    // TLS 1.3 ends the client's handshake before the server has judged the
    // client's certificate; a server that does not admit it hangs up now,
    // before it says a word.
    switch (WaitFor([this] { return heard_; }, limits_.serverReplyMs)) {
    case ServerWait::Done:
        phase_ = Phase::Telnet;
        return {};
    case ServerWait::TimedOut:
        return NoComPortControl();
    case ServerWait::Interrupted:
        return Interrupted();
    case ServerWait::Dropped:
        break;
    }
    const TlsIdentity &identity = *tls_;
    if (identity.certificate.isNull())
        return Refused(Kind::TlsRefused, QStringLiteral("the server hung up after the TLS handshake: it wants a client certificate. "
                                                  "Give yours with --tls-cert FILE --tls-key FILE"));
    return Refused(Kind::TlsRefused, QStringLiteral("the server hung up after the TLS handshake: it did not admit the client certificate %1 "
                                              "(%2, signed by %3). Ask its owner to admit that certificate's CA under the name "
                                              "in its authdir, or use a certificate it admits")
                                   .arg(identity.certFile, SubjectOf(identity.certificate), IssuerOf(identity.certificate)));
}

// Why the handshake failed, from the certificate errors Qt found, else from
// the TLS library's own words.
QString RemotePort::HandshakeRefusal() const
{
    const TlsIdentity &identity = *tls_;
    const auto has = [this](std::initializer_list<QSslError::SslError> kinds) -> const QSslError * {
        for (const QSslError &error : sslErrors_) {
            if (std::find(kinds.begin(), kinds.end(), error.error()) != kinds.end())
                return &error;
        }
        return nullptr;
    };
    const QSslCertificate server = socket_.peerCertificateChain().value(0);
    if (const QSslError *error = has({QSslError::UnableToGetLocalIssuerCertificate, QSslError::UnableToGetIssuerCertificate,
                                      QSslError::SelfSignedCertificate, QSslError::SelfSignedCertificateInChain,
                                      QSslError::UnableToVerifyFirstCertificate, QSslError::CertificateUntrusted,
                                      QSslError::CertificateRejected})) {
        const QSslCertificate certificate = error->certificate().isNull() ? server : error->certificate();
        const QString trusted = identity.caFile.isEmpty() ? QStringLiteral("not among this system's trusted CAs")
                                                          : QStringLiteral("not the CA in --tls-ca %1").arg(identity.caFile);
        return QStringLiteral("the server's certificate (%1) is not trusted: it is signed by %2, %3. "
                              "Give the CA that signed it with --tls-ca FILE")
            .arg(SubjectOf(server), IssuerOf(certificate), trusted);
    }
    if (const QSslError *error = has({QSslError::CertificateExpired}))
        return QStringLiteral("the server's certificate (%1) expired on %2: the server needs a new one")
            .arg(SubjectOf(error->certificate()), error->certificate().expiryDate().toUTC().toString(u"yyyy-MM-dd HH:mm 'UTC'"));
    if (const QSslError *error = has({QSslError::CertificateNotYetValid}))
        return QStringLiteral("the server's certificate (%1) is valid only from %2: check the clocks of both machines")
            .arg(SubjectOf(error->certificate()), error->certificate().effectiveDate().toUTC().toString(u"yyyy-MM-dd HH:mm 'UTC'"));
    if (has({QSslError::HostNameMismatch})) {
        QStringList names = server.subjectAlternativeNames().values();
        if (names.isEmpty())
            names = server.subjectInfo(QSslCertificate::CommonName);
        return QStringLiteral("the server's certificate is for %1, not %2: connect by a name it has, or give the server a "
                              "certificate for %2")
            .arg(names.join(u", "), host_);
    }
    if (!sslErrors_.isEmpty())
        return QStringLiteral("the server's certificate is not accepted: %1").arg(sslErrors_.first().errorString());
    if (socket_.error() == QAbstractSocket::SslInternalError && !identity.certificate.isNull())
        return QStringLiteral("the key %1 does not belong to the certificate %2: give the key made with that certificate")
            .arg(identity.keyFile, identity.certFile);
    if (socket_.error() == QAbstractSocket::SslHandshakeFailedError)
        return QStringLiteral("the TLS handshake failed: %1").arg(socket_.errorString());
    return QStringLiteral("the server hung up during the TLS handshake: %1").arg(DropReason());
}

std::expected<void, PortError> RemotePort::Negotiate()
{
    Send(codec_.Start());
    // Bytes the server sent before the codec took over.
    if (socket_.bytesAvailable() > 0)
        OnReadyRead();
    switch (WaitFor([this] { return codec_.ComPort() != telnet::OptionState::Requested; }, limits_.serverReplyMs)) {
    case ServerWait::Done:
        if (codec_.ComPort() == telnet::OptionState::Yes)
            return {};
        [[fallthrough]];
    case ServerWait::TimedOut:
        return NoComPortControl();
    case ServerWait::Interrupted:
        return Interrupted();
    case ServerWait::Dropped:
        break;
    }
    return std::unexpected(SilentDropReason());
}

PortError RemotePort::SilentDropReason() const
{
    // A TLS server takes the Telnet offer for a broken hello and hangs up
    // without a byte; the offer never reached its board.
    if (!tls_ && !heard_ && socket_.error() == QAbstractSocket::RemoteHostClosedError)
        return {Kind::WrongScheme, QStringLiteral("the server hung up without a word at the first bytes, as a TLS port does: write %1://%2:%3")
                                 .arg(QLatin1String(TlsScheme), host_)
                                 .arg(port_)};
    return HangUpReason();
}

PortError RemotePort::HangUpReason() const
{
    const QString words = ServerWords();
    if (words.startsWith(DeviceOpenFailure))
        return {Kind::ServerWithoutDevice,
                QStringLiteral("the server could not open its serial device (it said \"%1\"): the adapter on the server may be "
                               "unplugged, or its configuration names the wrong device")
                    .arg(words)};
    if (!words.isEmpty())
        return {Kind::ServerHungUp, QStringLiteral("the server hung up, saying \"%1\"").arg(words)};
    return {Kind::ServerHungUp, DropReason()};
}

QString RemotePort::ServerWords() const
{
    // A board's bytes that came before the drop are no words of the server's.
    if (received_.size() > ServerWordsLimit || !received_.endsWith("\r\n"))
        return {};
    const QByteArray line = received_.chopped(2);
    return IsNoticeText(line) ? QString::fromLatin1(line) : QString();
}

std::expected<void, PortError> RemotePort::PutInForce(const PortSettings &settings, bool withControl)
{
    std::vector<std::uint8_t> commands;
    const auto ask = [&](std::uint8_t command, std::uint8_t value) {
        telnet::Codec::AppendCommand(command, value, commands);
        unconfirmed_[command] = value;
    };
    const auto baud = static_cast<std::uint32_t>(settings.baudRate);
    telnet::Codec::AppendBaudRate(baud, commands);
    unconfirmed_[telnet::SetBaudRate] = baud;
    ask(telnet::SetDataSize, static_cast<std::uint8_t>(settings.dataBits));
    ask(telnet::SetParity, ParityCode(settings.parity));
    ask(telnet::SetStopSize, StopCode(settings.stopBits));
    if (withControl)
        ask(telnet::SetControl, telnet::ControlNoFlow);
    refused_ = false;
    Send(commands);

    switch (WaitFor([this] { return unconfirmed_.empty() || refused_; }, limits_.serverReplyMs)) {
    case ServerWait::Done:
        if (!refused_)
            return {};
        unconfirmed_.clear();
        return Refused(Kind::SettingsRefused, QStringLiteral("the server refused the line settings %1").arg(settings.text));
    case ServerWait::TimedOut:
        unconfirmed_.clear();
        return Refused(Kind::NotConfirmed, QStringLiteral("the server did not confirm the line settings %1 within %2 s")
                                         .arg(settings.text)
                                         .arg(limits_.serverReplyMs / 1000));
    case ServerWait::Interrupted:
        unconfirmed_.clear();
        return Interrupted();
    case ServerWait::Dropped:
        break;
    }
    // Lost while open (a settings change mid-write), or dropped while opening.
    return std::unexpected(Loss().value_or(HangUpReason()));
}

std::expected<void, PortError> RemotePort::ChangeLines(const LineChange &change)
{
    if (!IsOpen())
        return NotWritten();
    auto sent = SendLines(change);
    if (!sent && sent.error().kind != Kind::Interrupted && sent.error().kind != Kind::Lost)
        return Refused(sent.error().kind,
                       QStringLiteral("Cannot change the modem lines of %1: %2").arg(url_, sent.error().text));
    return sent;
}

std::expected<void, PortError> RemotePort::SendLines(const LineChange &change)
{
    std::vector<std::uint8_t> commands;
    linesUnconfirmed_.clear();
    linesRefused_ = false;
    const auto ask = [&](std::uint8_t value) {
        telnet::Codec::AppendCommand(telnet::SetControl, value, commands);
        linesUnconfirmed_.push_back(value);
    };
    if (change.dtr)
        ask(*change.dtr ? telnet::ControlDtrOn : telnet::ControlDtrOff);
    if (change.rts)
        ask(*change.rts ? telnet::ControlRtsOn : telnet::ControlRtsOff);
    Send(commands);

    switch (WaitFor([this] { return linesUnconfirmed_.empty() || linesRefused_; }, limits_.serverReplyMs)) {
    case ServerWait::Done:
        if (!linesRefused_)
            return {};
        linesUnconfirmed_.clear();
        return Refused(Kind::LinesRefused, QStringLiteral("the server refused %1").arg(DescribeChange(change)));
    case ServerWait::TimedOut:
        linesUnconfirmed_.clear();
        return Refused(Kind::LinesNotConfirmed, QStringLiteral("the server did not confirm %1 within %2 s (a server whose device "
                                                               "has no modem lines never does)")
                                                    .arg(DescribeChange(change))
                                                    .arg(limits_.serverReplyMs / 1000));
    case ServerWait::Interrupted:
        linesUnconfirmed_.clear();
        return Interrupted();
    case ServerWait::Dropped:
        break;
    }
    return std::unexpected(Loss().value_or(HangUpReason()));
}

void RemotePort::Close()
{
    open_ = false;
    received_.clear();
    if (socket_.state() != QAbstractSocket::UnconnectedState) {
        // Everything written has been handed to the system already; what
        // is still in flight goes out before the connection ends.
        socket_.disconnectFromHost();
        if (socket_.state() != QAbstractSocket::UnconnectedState)
            socket_.abort();
    }
}

bool RemotePort::IsOpen() const
{
    return open_ && !Loss();
}

std::expected<void, PortError> RemotePort::ApplySettings()
{
    if (const auto done = PutInForce(Settings(), false); !done) {
        if (!interrupted_)
            MarkLost(done.error());
        return done;
    }
    Discard();
    return {};
}

int RemotePort::WaitingCount() const
{
    return IsOpen() ? static_cast<int>(received_.size()) : 0;
}

QByteArray RemotePort::ReadAllWaiting()
{
    if (!IsOpen())
        return {};
    return std::exchange(received_, QByteArray());
}

void RemotePort::Discard()
{
    received_.clear();
    if (!IsOpen())
        return;
    std::vector<std::uint8_t> purge;
    telnet::Codec::AppendCommand(telnet::PurgeData, telnet::PurgeReceiveBuffer, purge);
    Send(purge);
}

std::expected<void, PortError> RemotePort::WriteBytes(std::span<const std::uint8_t> values)
{
    if (!IsOpen())
        return NotWritten();
    std::vector<std::uint8_t> escaped;
    escaped.reserve(values.size() + 8);
    telnet::Codec::AppendData(values, escaped);
    Send(escaped);
    if (Loss())
        return NotWritten();
    return {};
}

void RemotePort::Send(const std::vector<std::uint8_t> &bytes)
{
    if (bytes.empty() || socket_.state() != QAbstractSocket::ConnectedState)
        return;
    socket_.write(reinterpret_cast<const char *>(bytes.data()), static_cast<qint64>(bytes.size()));
    // Hand the bytes to the system now rather than at the next event loop
    // pass: the reply wait that follows measures from this moment.
    socket_.flush();
}

void RemotePort::OnReadyRead()
{
    heard_ = true;
    // Left where it is until the codec takes over.
    if (phase_ == Phase::Listening)
        return;
    const QByteArray bytes = socket_.readAll();
    decoded_.Clear();
    codec_.Feed(std::span(reinterpret_cast<const std::uint8_t *>(bytes.constData()), static_cast<std::size_t>(bytes.size())),
                decoded_);
    // Answers to a server that does not read them are not piled up.
    if (socket_.bytesToWrite() < ReadLimit)
        Send(decoded_.reply);
    // The reply a wait looks for is the first byte waiting; bytes beyond the
    // limit would only be dropped unread later.
    const auto room = static_cast<std::size_t>(std::max<qsizetype>(0, ReadLimit - received_.size()));
    received_.append(reinterpret_cast<const char *>(decoded_.data.data()),
                     static_cast<qsizetype>(std::min(room, decoded_.data.size())));
    for (const telnet::ComPortMessage &message : decoded_.comPort) {
        // Answers to our commands; notifications and purge confirmations
        // change nothing here.
        if (message.command <= telnet::ServerAnswer)
            continue;
        if (message.command == telnet::SetControl + telnet::ServerAnswer && TakeLineAnswer(message.value))
            continue;
        const auto asked = unconfirmed_.find(static_cast<std::uint8_t>(message.command - telnet::ServerAnswer));
        if (asked == unconfirmed_.end())
            continue;
        if (asked->second != message.value)
            refused_ = true;
        unconfirmed_.erase(asked);
    }
}

bool RemotePort::TakeLineAnswer(std::uint32_t value)
{
    // The answer to a line's command is that line's state now: the value
    // asked for, or the other one of its pair when the server kept it.
    const auto pairOf = [](std::uint32_t v) -> int {
        if (v == telnet::ControlDtrOn || v == telnet::ControlDtrOff)
            return 0;
        if (v == telnet::ControlRtsOn || v == telnet::ControlRtsOff)
            return 1;
        return -1;
    };
    const int line = pairOf(value);
    if (line < 0)
        return false;
    const auto asked = std::find_if(linesUnconfirmed_.begin(), linesUnconfirmed_.end(), [&](std::uint8_t v) { return pairOf(v) == line; });
    if (asked == linesUnconfirmed_.end())
        return true;
    if (*asked != value)
        linesRefused_ = true;
    linesUnconfirmed_.erase(asked);
    return true;
}

void RemotePort::OnDropped()
{
    // A TLS socket reports the server's hang-up as an error while it stays
    // connected for as long as it holds bytes nobody has read.
    if (socket_.error() == QAbstractSocket::RemoteHostClosedError)
        hungUp_ = true;
    // Errors while connecting are read by Connect(); a write cannot fail
    // without the connection failing too.
    if (open_)
        MarkLost({Kind::Lost, DropReason()});
}

QString RemotePort::DropReason() const
{
    switch (socket_.error()) {
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::UnknownSocketError:
        return QStringLiteral("the server closed the connection");
    default:
        return socket_.errorString();
    }
}

void RemotePort::MarkLost(PortError loss)
{
    if (!NoteLost(std::move(loss)))
        return;
    received_.clear();
    // Not from inside the socket's own notification.
    QTimer::singleShot(0, this, [this] {
        if (Loss())
            socket_.abort();
    });
}

bool RemotePort::Dropped() const
{
    return Loss() || hungUp_ || socket_.state() == QAbstractSocket::UnconnectedState;
}

RemotePort::ServerWait RemotePort::WaitFor(const std::function<bool()> &done, int limitMs)
{
    // Once the connection has dropped, each byte the server sent before
    // is read and `done` asked again, until none is left; only then is the
    // drop the end. An interrupted wait reads nothing more.
    const auto doneOrLastWords = [this, &done] {
        for (;;) {
            if (done())
                return true;
            if (interrupted_ || !Dropped() || phase_ != Phase::Telnet || socket_.bytesAvailable() == 0)
                return false;
            OnReadyRead();
        }
    };
    switch (PumpUntil(pump_, WaitOrder::HeldFirst, limitMs, doneOrLastWords, [this] { return interrupted_ || Dropped(); })) {
    case WaitEnd::Held: return ServerWait::Done;
    case WaitEnd::TimedOut: return ServerWait::TimedOut;
    case WaitEnd::Down: return interrupted_ ? ServerWait::Interrupted : ServerWait::Dropped;
    }
    std::unreachable();
}

std::optional<RemoteEndpoint> ParseRemoteEndpoint(const QString &url, bool tls)
{
    const char *scheme = tls ? RemotePort::TlsScheme : RemotePort::Scheme;
    const QUrl parsed(url, QUrl::StrictMode);
    const int port = parsed.port();
    if (!parsed.isValid() || parsed.scheme() != QLatin1String(scheme) || parsed.host().isEmpty() || port < 1
        || !parsed.userInfo().isEmpty() || !(parsed.path().isEmpty() || parsed.path() == u"/") || parsed.hasQuery()
        || parsed.hasFragment())
        return std::nullopt;
    return RemoteEndpoint{parsed.host(), static_cast<quint16>(port)};
}

}  // namespace qw735
