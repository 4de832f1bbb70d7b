// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/ByteTransport.h"
#include "link/DeviceLock.h"
#include "link/PortMap.h"
#include "link/PortSettings.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <cstdint>
#include <expected>
#include <span>

namespace qw735 {

// A serial device on this machine: a port number or a device path, line
// settings, open/close, and the byte-level operations the target
// conversations need. Nothing above this class touches termios.
//
// Data is binary both ways: no flow control, no CR/LF or other translation,
// since 0x11 and 0x13 are protocol bytes here, not XON/XOFF.
class SerialPort : public QObject, public LineTransport {
    Q_OBJECT
public:
    explicit SerialPort(PortMap map = SystemComDevices, QObject *parent = nullptr);
    ~SerialPort() override;

    // The next open uses COM `number` (1..10), looked up in the port map then.
    void SelectPort(int number);
    // The next open uses this device path (command line, tests).
    void SelectDevice(const QString &path);
    int PortNumber() const { return portNumber_; }
    // "COM3 (/dev/ttyUSB0)", or the device path when no Com was selected.
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
    QString DevicePath() const;

    PortMap map_;
    int portNumber_ = 0;
    QString devicePath_;
    QSerialPort port_;
    DeviceLock lock_;  // held while the port is open
    // Serial flags as found on open, restored on close; -1 when untouched.
    int savedSerialFlags_ = -1;
    QString latencyNote_;  // see LatencyNote(); set on open
};

}  // namespace qw735
