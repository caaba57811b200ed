#include "ServerTls.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {
bool readFile(const QString &path, const char *what, QByteArray &out, QString &error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Não foi possível ler %1 %2: %3").arg(QLatin1String(what), path, f.errorString());
        return false;
    }
    out = f.readAll();
    return true;
}

// Qt has no check that a key belongs to a certificate; a mismatch would only show as
// every client's handshake failing.
int noPassword(char *, int, int, void *) { return 0; } // never a prompt on the terminal

bool keyMatches(const QByteArray &certPem, const QByteArray &keyPem)
{
    BIO *cb = BIO_new_mem_buf(certPem.constData(), int(certPem.size()));
    BIO *kb = BIO_new_mem_buf(keyPem.constData(), int(keyPem.size()));
    X509 *cert = cb ? PEM_read_bio_X509(cb, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY *key = kb ? PEM_read_bio_PrivateKey(kb, nullptr, noPassword, nullptr) : nullptr;
    const bool ok = cert && key && X509_check_private_key(cert, key) == 1;
    EVP_PKEY_free(key);
    X509_free(cert);
    BIO_free(kb);
    BIO_free(cb);
    return ok;
}
} // namespace

bool authenticationRequired(const NetConfig &config)
{
    return !config.tlsCert.isEmpty() || !config.address.isLoopback();
}

bool serverSecurity(const NetConfig &config, std::optional<QSslConfiguration> &tls, QString &error)
{
    tls.reset();
    if (config.tlsCert.isEmpty() != config.tlsKey.isEmpty()) {
        error = QStringLiteral("--tls-cert e --tls-key devem ser informados juntos.");
        return false;
    }
    if (config.tlsCert.isEmpty()) {
        if (!config.clientCa.isEmpty()) {
            error = QStringLiteral("--client-ca exige TLS (--tls-cert e --tls-key).");
            return false;
        }
        if (!config.address.isLoopback() && !config.insecurePlaintext) {
            error = QStringLiteral("Recusado: texto puro em %1, um endereço de rede. Use --tls-cert e --tls-key, "
                                   "ou --insecure-plaintext numa rede de testes fechada.").arg(config.address.toString());
            return false;
        }
        return true;
    }
    QByteArray certPem, keyPem;
    if (!readFile(config.tlsCert, "o certificado", certPem, error) || !readFile(config.tlsKey, "a chave", keyPem, error))
        return false;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certPem, QSsl::Pem);
    if (chain.isEmpty()) {
        error = QStringLiteral("%1 não contém um certificado PEM.").arg(config.tlsCert);
        return false;
    }
    QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
    if (key.isNull()) {
        error = QStringLiteral("%1 não contém uma chave privada PEM (RSA ou EC) sem senha.").arg(config.tlsKey);
        return false;
    }
    if (!keyMatches(certPem, keyPem)) {
        error = QStringLiteral("A chave %1 não é a do certificado %2.").arg(config.tlsKey, config.tlsCert);
        return false;
    }
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setProtocol(QSsl::TlsV1_2OrLater);
    c.setLocalCertificateChain(chain);
    c.setPrivateKey(key);
    c.setPeerVerifyMode(QSslSocket::VerifyNone);
    if (!config.clientCa.isEmpty()) {
        QByteArray caPem;
        if (!readFile(config.clientCa, "a AC de clientes", caPem, error))
            return false;
        const QList<QSslCertificate> cas = QSslCertificate::fromData(caPem, QSsl::Pem);
        if (cas.isEmpty()) {
            error = QStringLiteral("%1 não contém um certificado de AC PEM.").arg(config.clientCa);
            return false;
        }
        c.setCaCertificates(cas); // only the company's CA: not the system's roots
        // Asked for, judged after the handshake (see Connection): a client without one may
        // still bring a token, and a refused one is told why in a reply it can read.
        c.setPeerVerifyMode(QSslSocket::QueryPeer);
    }
    tls = c;
    return true;
}
