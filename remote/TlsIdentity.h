// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <expected>

namespace qw735 {

// Whom a client of rfc2217+tls:// ports trusts and who it is: the CA that
// signed the servers' certificates (none given: the system's trusted CAs),
// and the client's own certificate and key (none given: the client has no
// certificate). The file names stay for the messages. Read once by the front
// end and handed to whatever makes the ports; copies share the certificates.
struct TlsIdentity {
    QString caFile;
    QList<QSslCertificate> cas;
    QString certFile;
    QSslCertificate certificate;
    QString keyFile;
    QSslKey key;
};

// Reads the files as given on the command line; empty names are not given.
// The error names the file and says why it cannot be used: it cannot be
// read, holds no PEM certificate or key, or only one of certificate and key
// was given. Whether the key belongs to the certificate is found when a
// connection uses them (the TLS library checks it before a byte is sent).
std::expected<TlsIdentity, QString> LoadTlsIdentity(const QString &caFile, const QString &certFile, const QString &keyFile);

// A certificate's subject as messages name it ("CN=qw735 bench CA"), and
// the same of its issuer.
QString SubjectOf(const QSslCertificate &certificate);
QString IssuerOf(const QSslCertificate &certificate);

}  // namespace qw735
