// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace qw735::test {

// A TCP port on 127.0.0.1 that nobody listens on right now (another program
// may take it at any time).
int FreeTcpPort();

// Debian's ser2net serving one serial device (the simulated board's
// pseudo-terminal) with com-port control (RFC 2217) on 127.0.0.1, on a free
// port, for as long as this object lives. Runs in the foreground as a child
// that dies with the thread that started it, so a failing or killed test
// leaves no server behind.
class Ser2netServer {
public:
    struct Options {
        // ser2net's default: hold what the device sends for about two
        // character times before passing it on, to fill the packets. It
        // delays every reply; a board flashed over the network wants it off.
        bool chardelay = true;
        // Send small packets at once instead of waiting for the client's
        // acknowledgement of the previous one (TCP_NODELAY).
        bool nodelay = false;
        // A new client takes the device from the one before (a writer that
        // died leaves no stale connection in the way); otherwise the server
        // turns it away while the device is in use.
        bool kickOldUser = true;
        // TLS under the Telnet layer, admitting only clients whose
        // certificate a CA in authdir/<the certificate's CN>/allowed_certs
        // signed: Url() is then rfc2217+tls://.
        struct Tls {
            std::string key, cert, ca, authdir;
        };
        std::optional<Tls> tls = std::nullopt;
    };

    // Throws std::runtime_error, with ser2net's own output, when the server
    // does not come up.
    explicit Ser2netServer(const std::string &device);
    Ser2netServer(const std::string &device, Options options);
    ~Ser2netServer();
    Ser2netServer(const Ser2netServer &) = delete;
    Ser2netServer &operator=(const Ser2netServer &) = delete;

    // "rfc2217://127.0.0.1:PORT", or rfc2217+tls:// with TLS
    std::string Url() const;
    // Ends the server at once with SIGKILL, as a crash or a power cut would.
    void Kill();

private:
    // The configuration this class runs ser2net with.
    static std::string Configuration(const std::string &device, int port, Options options);
    bool Start(const std::string &device, Options options);
    bool Listening() const;
    void Stop();
    void RemoveFiles() const;

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool tls_ = false;
};

// Throw-away certificates for TLS tests, made with openssl in a folder of
// their own that goes with this object. All keys are P-256, without a
// passphrase. The files, by name:
//   ca             the CA of the servers and of admitted clients
//   other-ca       a CA nobody here trusts
//   server         for 127.0.0.1 (IP address in subjectAltName), by ca
//   wrong-name     for elsewhere.invalid only, by ca
//   expired        for 127.0.0.1, expired yesterday, by ca
//   station1       a client, CN=station1, by ca
//   stranger       a client, CN=station1 as well, by other-ca
// each as NAME.crt and NAME.key, and the authdir that admits ca's clients
// named station1.
class TestCertificates {
public:
    // Throws std::runtime_error, with openssl's own output, when a file
    // cannot be made.
    TestCertificates();
    ~TestCertificates();
    TestCertificates(const TestCertificates &) = delete;
    TestCertificates &operator=(const TestCertificates &) = delete;
    // One set for the whole process, made at its first use.
    static const TestCertificates &Shared();

    std::string Crt(const std::string &name) const { return dir_ + "/" + name + ".crt"; }
    std::string Key(const std::string &name) const { return dir_ + "/" + name + ".key"; }
    std::string AuthDir() const { return dir_ + "/auth"; }
    // ser2net serving with the named server certificate, clients by ca.
    Ser2netServer::Options::Tls ServerTls(const std::string &server = "server") const;

private:
    std::string dir_;
};

}  // namespace qw735::test
