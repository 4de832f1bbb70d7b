// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ByteTransport.h"
#include "link/DeviceLock.h"
#include "link/PortSettings.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <cstdint>
#include <expected>
#include <span>

namespace qw735 {

// A serial device on this machine, by the device path it was handed (the
// ports a user names are read into one by ports/), with line settings,
// open/close, and the byte-level operations the target conversations need.
// Nothing above this class touches termios.
//
// Data is binary both ways: no flow control, no CR/LF or other translation,
// since 0x11 and 0x13 are protocol bytes here, not XON/XOFF.
class SerialPort : public QObject, public LineTransport {
    Q_OBJECT
public:
    explicit SerialPort(QObject *parent = nullptr);
    ~SerialPort() override;

    // The next open uses this device path, read as ReadDeviceName reads it.
    void SelectDevice(const QString &path);
    // The device path, as messages show names.
    QString Describe() const override;

    // Refuses a device that another program holds under any of its names,
    // and holds it against others until Close.
    [[nodiscard]] std::expected<void, PortError> Open() override;
    // Closes the port; restores the driver's latency flags it changed on open.
    void Close() override;
    bool IsOpen() const override;

    int WaitingCount() const override;
    QByteArray ReadAllWaiting() override;
    void Discard() override;
    [[nodiscard]] std::expected<void, PortError> WriteBytes(std::span<const std::uint8_t> values) override;
    QString LatencyNote() const override { return latencyNote_; }

protected:
    // The device the next open uses, found as it opens; the error, the
    // open's, says why there is none.
    [[nodiscard]] virtual std::expected<QString, PortError> DeviceToOpen() const;

private:
    // Switches an open port without closing it: the pending output drains
    // first, then the speed changes and the receive buffer is emptied.
    // Closing instead would drop the modem lines, which resets some boards.
    [[nodiscard]] std::expected<void, PortError> ApplySettings() override;
    // Once the port failed while open (adapter unplugged, I/O error), it is
    // closed and stays unusable until the next Open.
    void OnError(QSerialPort::SerialPortError error);
    void MarkLost(PortError loss);
    // Why the open port just failed, in words for the user.
    QString FailureReason() const;
    // "Cannot open PORT: `reason`".
    PortError OpenRefused(PortError::Kind kind, const QString &reason) const;
    void ApplyLowLatency(const QString &device);
    void RestoreLatency();

    QString devicePath_;
    QSerialPort port_;
    DeviceLock lock_;  // held while the port is open
    // Serial flags as found on open, restored on close; -1 when untouched.
    int savedSerialFlags_ = -1;
    QString latencyNote_;  // see LatencyNote(); set on open
};

}  // namespace qw735
