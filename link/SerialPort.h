// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

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

// The one serial port of a writer: a port number or a device path, a
// settings text, open/close, and the byte-level operations the target
// conversations need. Nothing above this class touches termios.
//
// Data is binary both ways: no flow control, no CR/LF or other translation,
// since 0x11 and 0x13 are protocol bytes here, not XON/XOFF.
class SerialPort : public QObject {
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
    QString Describe() const;

    // The next open uses these settings; false (nothing changed) when malformed.
    bool SetSettings(const QString &text);
    QString Settings() const { return settingsText_; }

    // Opens with the current settings and empties the receive buffer. The
    // error text names the port and says why it could not be opened.
    std::expected<void, QString> Open();
    // Closes the port; restores the driver's latency flags it changed on open.
    void Close();
    bool IsOpen() const;

    // Switches the open port to `text` without closing it: the pending output
    // drains first, then the speed changes and the receive buffer is emptied.
    // Closing instead would drop the modem lines, which resets some boards.
    std::expected<void, QString> ChangeSettings(const QString &text);

    // Number of received bytes waiting; 0 when closed or lost.
    int WaitingCount() const;
    // Drops every waiting byte, also those still in the driver.
    void Discard();
    // Takes every waiting byte, in arrival order.
    QByteArray ReadAllWaiting();
    // Sends exactly one byte now; false when the port is closed or failed.
    bool WriteByte(std::uint8_t value);
    // Sends these bytes now, in order; false when the port is closed or failed.
    bool WriteBytes(std::span<const std::uint8_t> values);

    // True once the port failed while open (adapter unplugged, I/O error);
    // the port is then closed and stays unusable until the next Open.
    bool IsLost() const { return lost_; }
    QString LostReason() const { return lostReason_; }

    // The underlying file descriptor, -1 when closed (for tests and tools).
    int Handle() const;

private:
    void OnError(QSerialPort::SerialPortError error);
    void MarkLost(const QString &reason);
    void ApplyLowLatency();
    void RestoreLatency();
    QString DevicePath() const;

    PortMap map_;
    int portNumber_ = 0;
    QString devicePath_;
    QString settingsText_ = QString::fromLatin1(BootSettings);
    PortSettings settings_;
    QSerialPort port_;
    bool lost_ = false;
    QString lostReason_;
    // Serial flags as found on open, restored on close; -1 when untouched.
    int savedSerialFlags_ = -1;
};

}  // namespace qw735
