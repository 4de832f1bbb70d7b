// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/TlsIdentity.h"

#include <QFile>
#include <QStringList>

namespace qw735 {

namespace {

std::expected<QByteArray, QString> ReadFile(const QString &path, const char *what)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(QStringLiteral("cannot read the %1 %2: %3").arg(QLatin1String(what), path, file.errorString()));
    return file.readAll();
}

QString Names(const QSslCertificate &certificate, bool issuer)
{
    QStringList parts;
    for (const auto attribute : {QSslCertificate::CommonName, QSslCertificate::Organization}) {
        const QStringList values = issuer ? certificate.issuerInfo(attribute) : certificate.subjectInfo(attribute);
        if (!values.isEmpty())
            parts << QLatin1String(attribute == QSslCertificate::CommonName ? "CN=" : "O=") + values.join(u'+');
    }
    return parts.isEmpty() ? QStringLiteral("(no name)") : parts.join(u", ");
}

}  // namespace

std::expected<TlsIdentity, QString> LoadTlsIdentity(const QString &caFile, const QString &certFile, const QString &keyFile)
{
    TlsIdentity identity;
    if (certFile.isEmpty() != keyFile.isEmpty())
        return std::unexpected(QStringLiteral("--tls-cert and --tls-key go together: give the client's certificate and its key"));
    if (!caFile.isEmpty()) {
        const auto pem = ReadFile(caFile, "CA certificate file");
        if (!pem)
            return std::unexpected(pem.error());
        identity.caFile = caFile;
        identity.cas = QSslCertificate::fromData(*pem, QSsl::Pem);
        if (identity.cas.isEmpty())
            return std::unexpected(QStringLiteral("cannot read the CA certificate file %1: it holds no PEM certificate").arg(caFile));
    }
    if (certFile.isEmpty())
        return identity;
    const auto certificate = ReadFile(certFile, "certificate file");
    if (!certificate)
        return std::unexpected(certificate.error());
    const QList<QSslCertificate> chain = QSslCertificate::fromData(*certificate, QSsl::Pem);
    if (chain.isEmpty())
        return std::unexpected(QStringLiteral("cannot read the certificate file %1: it holds no PEM certificate").arg(certFile));
    identity.certFile = certFile;
    identity.certificate = chain.first();
    const auto key = ReadFile(keyFile, "key file");
    if (!key)
        return std::unexpected(key.error());
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa, QSsl::Dsa}) {
        identity.key = QSslKey(*key, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!identity.key.isNull())
            break;
    }
    if (identity.key.isNull())
        return std::unexpected(
            QStringLiteral("cannot read the key file %1: it holds no PEM private key without a passphrase").arg(keyFile));
    identity.keyFile = keyFile;
    return identity;
}

QString SubjectOf(const QSslCertificate &certificate)
{
    return Names(certificate, false);
}

QString IssuerOf(const QSslCertificate &certificate)
{
    return Names(certificate, true);
}

}  // namespace qw735
