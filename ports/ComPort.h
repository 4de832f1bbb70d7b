// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/PortMap.h"
#include "link/SerialPort.h"

namespace qw735 {

// A serial port chosen by its Com number, COM1..COM10, as the windows
// number them: the device behind the number is looked up in the COM map at
// every open, so a port chosen before its adapter was plugged in opens the
// adapter plugged in since.
class ComPort : public SerialPort {
    Q_OBJECT
public:
    explicit ComPort(PortMap map = SystemComDevices, QObject *parent = nullptr);

    // The next open uses COM `number` (1..10).
    void SelectPort(int number);
    // The Com selected; 0 before the first.
    int PortNumber() const { return portNumber_; }
    // "COM3 (/dev/ttyUSB0)", "COM3" with nothing behind it.
    QString Describe() const override;

private:
    [[nodiscard]] std::expected<QString, PortError> DeviceToOpen() const override;

    PortMap map_;
    int portNumber_ = 0;
};

}  // namespace qw735
