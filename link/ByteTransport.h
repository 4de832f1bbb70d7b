// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/PortError.h"
#include "link/PortSettings.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

namespace qw735 {

// What the link needs of the line to a board, whatever carries it: a serial
// device on this machine or a serial port served over the network. Data is
// binary both ways; nothing may translate, drop or act on any byte value.
//
// A transport that fails while open (adapter unplugged, connection dropped)
// marks itself lost: it stops taking and giving bytes, keeps why (its
// Loss()), and stays lost until the next Open.
class ByteTransport {
public:
    virtual ~ByteTransport() = default;

    // Opens with the current settings and empties the receive buffer. The
    // error's text names the port and says why it could not be opened.
    [[nodiscard]] virtual std::expected<void, PortError> Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    // On an open transport the settings are in force when this returns:
    // every byte already written has left at the old settings first, and
    // the receive buffer is empty. On a closed one the next Open uses them.
    // A failure on an open transport loses it, for the error's reason.
    [[nodiscard]] virtual std::expected<void, PortError> ChangeSettings(const PortSettings &settings) = 0;
    virtual const PortSettings &Settings() const = 0;

    // Number of received bytes waiting; 0 when closed or lost.
    virtual int WaitingCount() const = 0;
    // Takes every waiting byte, in arrival order.
    virtual QByteArray ReadAllWaiting() = 0;
    // Drops every waiting byte, also those still on their way in.
    virtual void Discard() = 0;
    // Drops the bytes waiting here, once a reader has taken the one it
    // wanted. A transport with a server in between leaves what the server
    // holds alone: reaching back into it would widen "arrived while
    // reading" to a network round trip, and costs one per reply.
    virtual void DropWaiting() { Discard(); }
    // Sends these bytes now, in order. The error says why they could not
    // go: the transport is closed, or was lost (then its Loss()).
    [[nodiscard]] virtual std::expected<void, PortError> WriteBytes(std::span<const std::uint8_t> values) = 0;

    // Why the open transport failed, once it has; nothing while it has not
    // (or before an Open). Its text is the reason alone.
    virtual const std::optional<PortError> &Loss() const = 0;

    // How messages name the port: "COM3 (/dev/ttyUSB0)", "/dev/ttyUSB0".
    virtual QString Describe() const = 0;

    // Whether the line is served by another machine, and, for one reached
    // over TLS and open, the SHA-256 digest of the server's certificate
    // (lower-case hex): what the production record says of it.
    virtual bool IsRemote() const { return false; }
    virtual QByteArray ServerCertificateSha256() const { return {}; }

    // Once open: why every reply may reach us late on this line, when the
    // transport can tell and could not help it (an adapter that holds
    // received bytes for its latency timer); empty otherwise.
    virtual QString LatencyNote() const { return {}; }

    // Ends at once, and from now on, any wait inside Open or ChangeSettings
    // (a transport that waits for a server there); they then fail. For the
    // user's Ctrl-C or a window closed mid-write.
    virtual void Interrupt() {}

protected:
    // WriteBytes' error on a transport that is closed or lost.
    std::unexpected<PortError> NotWritten() const
    {
        return std::unexpected(Loss().value_or(PortError{PortError::Kind::NotOpen, QStringLiteral("the port is not open")}));
    }
};

// What every transport keeps alike: the settings it opens with or has in
// force, and whether and why it was lost.
class LineTransport : public ByteTransport {
public:
    [[nodiscard]] std::expected<void, PortError> ChangeSettings(const PortSettings &settings) final
    {
        settings_ = settings;
        if (!IsOpen())
            return {};
        return ApplySettings();
    }
    const PortSettings &Settings() const final { return settings_; }
    const std::optional<PortError> &Loss() const final { return loss_; }

protected:
    // Puts Settings() in force on the open line; a failure marks it lost.
    [[nodiscard]] virtual std::expected<void, PortError> ApplySettings() = 0;
    // Records the loss; false when the line was lost already, which the
    // first reason stays for.
    bool NoteLost(PortError loss)
    {
        if (loss_)
            return false;
        loss_ = std::move(loss);
        return true;
    }
    // A new Open starts with a line that is not lost.
    void ForgetLoss() { loss_.reset(); }

private:
    PortSettings settings_ = BootSettings();
    std::optional<PortError> loss_;
};

}  // namespace qw735
