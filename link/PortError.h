// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

namespace qw735 {

// Why a line to a board could not be opened, could not take new settings or
// bytes, or was lost while open; whatever carries it (a serial device here,
// a server over the network). Front ends choose what to add by the kind and
// show the text as it is.
struct PortError {
    enum class Kind {
        NoPortChosen,       // nothing was selected to open
        NoSuchDevice,       // no device file by that name, or nothing behind it
        NoDeviceBehindCom,  // the COM map has no device for that number
        NotASerialPort,     // a file, /dev/null, /dev/ptmx: no line to a board
        Console,            // the system console, a virtual console, this terminal
        NoPermission,       // the user may not open the device
        InUse,              // another program holds the device, by its lock or exclusively
        HeldWithoutLock,    // another process has the device open without a lock
        NoDescriptors,      // the process has no descriptors left for it
        OpenFailed,         // the system refused the open for another reason
        NotOpen,            // bytes for a line that is closed
        Lost,               // the line failed while open (adapter unplugged, connection dropped)
        SettingsRefused,    // the driver or the server would not take the line settings
        NotConfirmed,       // the server did not confirm the line settings in time
        Interrupted,        // the user ended the wait (Ctrl-C, a window closed)
        UnknownHost,        // the server's name does not resolve
        ServerUnreachable,  // no connection to the server in time, or the network failed
        ServerRefused,      // the server's machine refused the connection
        WrongScheme,        // the server speaks TLS to a plain URL, or plain to a TLS one
        TlsRefused,         // the TLS handshake failed, on either side's certificate
        NoComPortControl,   // the server does not offer serial-port control
        ServerWithoutDevice,  // the server could not open its serial device
        ServerHungUp,       // the server ended the connection while it was being opened
    };

    Kind kind;
    // For the user, as the operation that failed says it: "Cannot open
    // COM3 (/dev/ttyUSB0): no such device" from an open, the reason alone
    // ("the device was disconnected") for a loss, which the write's message
    // puts in its own words.
    QString text;
};

}  // namespace qw735
