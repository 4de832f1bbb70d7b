// SPDX-License-Identifier: GPL-2.0-or-later
#include "link/SerialPort.h"

#include "base/PathName.h"
#include "base/DescriptorLimits.h"
#include "link/PortInventory.h"

#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace qw735 {

SerialPort::SerialPort(QObject *parent) : QObject(parent)
{
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialPort::OnError);
}

SerialPort::~SerialPort()
{
    Close();
}

void SerialPort::SelectDevice(const QString &path)
{
    devicePath_ = path;
}

QString SerialPort::Describe() const
{
    return PathDisplay(devicePath_);
}

std::expected<QString, PortError> SerialPort::DeviceToOpen() const
{
    if (devicePath_.isEmpty())
        return std::unexpected(PortError{PortError::Kind::NoPortChosen, QStringLiteral("Cannot open the port: no port was chosen")});
    return devicePath_;
}

PortError SerialPort::OpenRefused(PortError::Kind kind, const QString &reason) const
{
    return {kind, QStringLiteral("Cannot open %1: %2").arg(Describe(), reason)};
}

std::expected<void, PortError> SerialPort::Open()
{
    Close();
    ForgetLoss();

    const auto device = DeviceToOpen();
    if (!device)
        return std::unexpected(device.error());

    // The lock, the port and the lock file other programs look for; a port
    // that fails for want of them is not "in use".
    if (!HasFreeDescriptors(3))
        return std::unexpected(OpenRefused(PortError::Kind::NoDescriptors, DescriptorShortage()));
    auto lock = DeviceLock::Take(*device);
    if (!lock)
        return std::unexpected(OpenRefused(lock.error().kind, lock.error().text));

    const PortSettings &settings = Settings();
    port_.setPortName(lock->Device());
    port_.setBaudRate(settings.baudRate);
    port_.setParity(settings.parity);
    port_.setDataBits(settings.dataBits);
    port_.setStopBits(settings.stopBits);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        PortError::Kind kind = PortError::Kind::OpenFailed;
        QString reason = port_.errorString();
        // Past the lock and the permission check, what remains is another
        // program's lock file for the device, or its exclusive mode.
        if (port_.error() == QSerialPort::PermissionError) {
            const bool descriptorsLeft = HasFreeDescriptors(2);
            kind = descriptorsLeft ? PortError::Kind::InUse : PortError::Kind::NoDescriptors;
            reason = descriptorsLeft ? InUseReason(lock->Device()) : DescriptorShortage();
        } else if (port_.error() == QSerialPort::DeviceNotFoundError) {
            kind = PortError::Kind::NoSuchDevice;
            reason = QStringLiteral("no such device");
        }
        port_.clearError();
        return std::unexpected(OpenRefused(kind, reason));
    }

    // QSerialPort's open puts the line in raw mode, and NoFlowControl clears
    // IXON/IXOFF and CRTSCTS; the board simulator checks both on every test.
    ApplyLowLatency(lock->Device());
    // Bytes that arrived before the open are no reply to anything we send.
    Discard();
    lock_ = std::move(*lock);
    return {};
}

void SerialPort::Close()
{
    if (port_.isOpen()) {
        RestoreLatency();
        port_.close();
    }
    port_.clearError();
    lock_.Release();
}

bool SerialPort::IsOpen() const
{
    return port_.isOpen() && !Loss();
}

std::expected<void, PortError> SerialPort::ApplySettings()
{
    // Every byte already written must leave at the old speed.
    port_.flush();
    ::tcdrain(port_.handle());
    const PortSettings &settings = Settings();
    const bool ok = port_.setBaudRate(settings.baudRate) && port_.setParity(settings.parity)
                    && port_.setDataBits(settings.dataBits) && port_.setStopBits(settings.stopBits);
    if (!ok) {
        const PortError refused{PortError::Kind::SettingsRefused, QStringLiteral("cannot switch to %1 (%2)").arg(settings.text, FailureReason())};
        MarkLost(refused);
        return std::unexpected(refused);
    }
    Discard();
    return {};
}

int SerialPort::WaitingCount() const
{
    return IsOpen() ? static_cast<int>(port_.bytesAvailable()) : 0;
}

void SerialPort::Discard()
{
    if (IsOpen())
        port_.clear(QSerialPort::Input);
}

QByteArray SerialPort::ReadAllWaiting()
{
    return IsOpen() ? port_.readAll() : QByteArray();
}

std::expected<void, PortError> SerialPort::WriteBytes(std::span<const std::uint8_t> values)
{
    if (!IsOpen())
        return NotWritten();
    const auto size = static_cast<qint64>(values.size());
    if (port_.write(reinterpret_cast<const char *>(values.data()), size) != size) {
        MarkLost({PortError::Kind::Lost, FailureReason()});
        return NotWritten();
    }
    // Hand the bytes to the driver now rather than at the next event loop
    // pass: the reply wait that follows measures from this moment.
    port_.flush();
    if (Loss())
        return NotWritten();
    return {};
}

void SerialPort::OnError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
    case QSerialPort::TimeoutError:
    case QSerialPort::NotOpenError:
        return;
    default:
        // Open failures are reported by Open(); what comes while open means
        // the device is gone or broken.
        if (port_.isOpen())
            MarkLost({PortError::Kind::Lost, FailureReason()});
    }
}

QString SerialPort::FailureReason() const
{
    // A line that hangs up (adapter unplugged, the far end of a
    // pseudo-terminal closed) reads as end of file, which sets no error
    // number: the port's error text then tells whatever an earlier call
    // left behind. The descriptor itself says whether the line hung up.
    pollfd line{port_.handle(), POLLIN, 0};
    if (port_.isOpen() && ::poll(&line, 1, 0) == 1 && (line.revents & POLLHUP))
        return QStringLiteral("the device was disconnected");
    return port_.errorString();
}

void SerialPort::MarkLost(PortError loss)
{
    if (loss.text.isEmpty())
        loss.text = QStringLiteral("the device stopped responding");
    if (!NoteLost(std::move(loss)))
        return;
    // A vanished adapter can make the driver report the same error again and
    // again while the port claims to be open. Close once control is back in
    // the event loop, since this runs inside the port's own notification.
    QTimer::singleShot(0, this, [this] {
        if (Loss() && port_.isOpen())
            port_.close();
    });
}

// USB serial adapters may hold received bytes for up to 16 ms before passing
// them on; with one reply per loader byte that would dominate a write. Ask
// for low latency where the driver supports it (common adapter drivers turn
// it into a 1 ms latency timer). A driver without the setting
// (pseudo-terminals, most on-board UARTs) has nothing to lower, unless the
// kernel shows a latency timer for the device; and one that refuses it, or
// leaves its timer above 1 ms, is worth a word: every reply may come late.
void SerialPort::ApplyLowLatency(const QString &device)
{
    savedSerialFlags_ = -1;
    latencyNote_.clear();
    QString refused;
    bool settable = false;
    struct serial_struct serial {};
    if (::ioctl(port_.handle(), TIOCGSERIAL, &serial) != 0) {
        refused = QString::fromLocal8Bit(std::strerror(errno));
    } else if (!(serial.flags & ASYNC_LOW_LATENCY)) {
        settable = true;
        const int original = serial.flags;
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(port_.handle(), TIOCSSERIAL, &serial) == 0)
            savedSerialFlags_ = original;
        else
            refused = QString::fromLocal8Bit(std::strerror(errno));
    }
    // Read after the attempt: the drivers that have a timer show the one in force.
    const int timerMs = LatencyTimerMs(device);
    if (timerMs > 1) {
        latencyNote_ = QStringLiteral("the adapter may hold each reply up to %1 ms (its latency timer): low-latency mode %2")
                           .arg(timerMs)
                           .arg(refused.isEmpty() ? QStringLiteral("did not lower it") : QStringLiteral("could not be set (%1)").arg(refused));
    } else if (settable && !refused.isEmpty()) {
        latencyNote_ = QStringLiteral("low-latency mode could not be set (%1): replies may come late").arg(refused);
    }
}

void SerialPort::RestoreLatency()
{
    if (savedSerialFlags_ < 0)
        return;
    struct serial_struct serial {};
    if (::ioctl(port_.handle(), TIOCGSERIAL, &serial) == 0) {
        serial.flags = savedSerialFlags_;
        ::ioctl(port_.handle(), TIOCSSERIAL, &serial);
    }
    savedSerialFlags_ = -1;
}

}  // namespace qw735
