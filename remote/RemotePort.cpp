// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/RemotePort.h"

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

}  // namespace

std::expected<std::unique_ptr<RemotePort>, QString> RemotePort::FromUrl(const QString &url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const int port = parsed.port();
    if (!parsed.isValid() || parsed.scheme() != QLatin1String(Scheme) || parsed.host().isEmpty() || port < 1
        || !parsed.userInfo().isEmpty() || !(parsed.path().isEmpty() || parsed.path() == u"/") || parsed.hasQuery()
        || parsed.hasFragment())
        return std::unexpected(QStringLiteral("%1 is no remote port: write rfc2217://HOST:PORT, PORT 1..65535").arg(url));
    return std::make_unique<RemotePort>(url, parsed.host(), static_cast<quint16>(port));
}

RemotePort::RemotePort(QString url, QString host, quint16 port, QObject *parent)
    : QObject(parent), url_(std::move(url)), host_(std::move(host)), port_(port)
{
    // A server may send without end, wanted or not: what waits here stays
    // within bounds however fast it comes.
    socket_.setReadBufferSize(ReadLimit);
    connect(&socket_, &QTcpSocket::readyRead, this, &RemotePort::OnReadyRead);
    connect(&socket_, &QTcpSocket::disconnected, this, &RemotePort::OnDropped);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &RemotePort::OnDropped);
}

RemotePort::~RemotePort()
{
    Close();
}

std::expected<void, QString> RemotePort::Open()
{
    Close();
    lost_ = false;
    lostReason_.clear();
    codec_ = telnet::Codec();
    unconfirmed_.clear();
    refused_ = false;

    auto opened = Connect();
    if (opened)
        opened = Negotiate();
    if (opened)
        opened = PutInForce(settings_, true);
    if (!opened) {
        Close();
        return std::unexpected(QStringLiteral("Cannot open %1: %2").arg(url_, opened.error()));
    }
    open_ = true;
    Discard();
    return {};
}

std::expected<void, QString> RemotePort::Connect()
{
    socket_.connectToHost(host_, port_);
    const WaitEnd end = WaitFor([this] { return socket_.state() == QAbstractSocket::ConnectedState; }, ConnectLimitMs);
    switch (end) {
    case WaitEnd::Done:
        break;
    case WaitEnd::Interrupted:
        return std::unexpected(QStringLiteral("interrupted"));
    case WaitEnd::TimedOut:
        return std::unexpected(QStringLiteral("no answer from %1 within %2 s").arg(host_).arg(ConnectLimitMs / 1000));
    case WaitEnd::Dropped:
        switch (socket_.error()) {
        case QAbstractSocket::HostNotFoundError:
            return std::unexpected(QStringLiteral("the name %1 does not resolve").arg(host_));
        case QAbstractSocket::ConnectionRefusedError:
            return std::unexpected(QStringLiteral("the connection was refused"));
        default:
            return std::unexpected(DropReason());
        }
    }
    // One reply per loader byte: a delayed small segment would cost a
    // round trip each time.
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return {};
}

std::expected<void, QString> RemotePort::Negotiate()
{
    Send(codec_.Start());
    switch (WaitFor([this] { return codec_.ComPort() != telnet::OptionState::Requested; }, ServerReplyLimitMs)) {
    case WaitEnd::Done:
        if (codec_.ComPort() == telnet::OptionState::Yes)
            return {};
        [[fallthrough]];
    case WaitEnd::TimedOut:
        return std::unexpected(QStringLiteral("the server does not offer serial-port control (RFC 2217)"));
    case WaitEnd::Interrupted:
        return std::unexpected(QStringLiteral("interrupted"));
    case WaitEnd::Dropped:
        break;
    }
    return std::unexpected(DropReason());
}

std::expected<void, QString> RemotePort::PutInForce(const PortSettings &settings, bool withControl)
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

    switch (WaitFor([this] { return unconfirmed_.empty() || refused_; }, ServerReplyLimitMs)) {
    case WaitEnd::Done:
        if (!refused_)
            return {};
        unconfirmed_.clear();
        return std::unexpected(QStringLiteral("the server refused the line settings %1").arg(settings.text));
    case WaitEnd::TimedOut:
        unconfirmed_.clear();
        return std::unexpected(QStringLiteral("the server did not confirm the line settings %1 within %2 s")
                                   .arg(settings.text)
                                   .arg(ServerReplyLimitMs / 1000));
    case WaitEnd::Interrupted:
        unconfirmed_.clear();
        return std::unexpected(QStringLiteral("interrupted"));
    case WaitEnd::Dropped:
        break;
    }
    return std::unexpected(lostReason_.isEmpty() ? DropReason() : lostReason_);
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
    return open_ && !lost_;
}

std::expected<void, QString> RemotePort::ChangeSettings(const QString &text)
{
    auto parsed = ParsePortSettings(text);
    if (!parsed)
        return std::unexpected(parsed.error());
    settings_ = std::move(*parsed);
    if (!IsOpen())
        return {};

    // The server applies the change in stream order, after every byte
    // already sent; its confirmation says the new speed is set.
    if (const auto done = PutInForce(settings_, false); !done) {
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

std::expected<void, QString> RemotePort::WriteBytes(std::span<const std::uint8_t> values)
{
    if (!IsOpen())
        return NotWritten();
    std::vector<std::uint8_t> escaped;
    escaped.reserve(values.size() + 8);
    telnet::Codec::AppendData(values, escaped);
    Send(escaped);
    if (lost_)
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
        const auto asked = unconfirmed_.find(static_cast<std::uint8_t>(message.command - telnet::ServerAnswer));
        if (asked == unconfirmed_.end())
            continue;
        if (asked->second != message.value)
            refused_ = true;
        unconfirmed_.erase(asked);
    }
}

void RemotePort::OnDropped()
{
    // Errors while connecting are read by Connect(); a write cannot fail
    // without the connection failing too.
    if (open_)
        MarkLost(DropReason());
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

void RemotePort::MarkLost(const QString &reason)
{
    if (lost_)
        return;
    lost_ = true;
    lostReason_ = reason;
    received_.clear();
    // Not from inside the socket's own notification.
    QTimer::singleShot(0, this, [this] {
        if (lost_)
            socket_.abort();
    });
}

RemotePort::WaitEnd RemotePort::WaitFor(const std::function<bool()> &done, int limitMs)
{
    bool expired = false;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    connect(&limit, &QTimer::timeout, [&expired] { expired = true; });
    limit.start(limitMs);
    for (;;) {
        if (done())
            return WaitEnd::Done;
        if (interrupted_)
            return WaitEnd::Interrupted;
        if (lost_ || socket_.state() == QAbstractSocket::UnconnectedState)
            return WaitEnd::Dropped;
        if (expired)
            return WaitEnd::TimedOut;
        pump_.Pump();
    }
}

}  // namespace qw735
