#pragma once
// HTTPS POST of a SOAP 1.2 envelope over mutual TLS. Every call runs its own network
// manager in a local event loop on the calling thread, so calls from several threads
// never share state; the configuration is read-only after construction. The server's
// certificate is always verified against the given CA certificates only.
#include "CompanyCertificate.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QUrl>
#include <stdexcept>

class TransportError : public std::runtime_error {
public:
    enum Kind { Network, Tls, ConnectTimeout, AnswerTimeout, TooLarge };
    TransportError(Kind k, const QString &message) : std::runtime_error(message.toStdString()), kind(k) {}
    Kind kind;
};

class SoapTransport {
public:
    struct Options {
        QList<QSslCertificate> trusted; // the authority's roots (ICP-Brasil in production)
        int connectTimeoutMs = 15000;   // TCP and TLS handshake
        int answerTimeoutMs = 60000;    // from the request sent to the whole answer read
        qint64 maxAnswerBytes = 64LL * 1024 * 1024;
    };
    struct Response {
        int status = 0;
        QByteArray body;
    };

    SoapTransport(CompanyCertificate identity, Options options);
    // Throws TransportError; any HTTP status is returned to the caller.
    Response post(const QUrl &url, const QString &action, const QByteArray &envelope) const;
    const CompanyCertificate &identity() const { return m_identity; }

private:
    CompanyCertificate m_identity;
    Options m_options;
};
