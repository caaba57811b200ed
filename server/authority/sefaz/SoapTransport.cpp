#include "SoapTransport.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>

SoapTransport::SoapTransport(CompanyCertificate identity, Options options)
    : m_identity(std::move(identity)), m_options(std::move(options))
{
}

SoapTransport::Response SoapTransport::post(const QUrl &url, const QString &action, const QByteArray &envelope) const
{
    QNetworkAccessManager nam;
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::ContentTypeHeader,
                  QStringLiteral("application/soap+xml; charset=utf-8; action=\"%1\"").arg(action));
    req.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    tls.setCaCertificates(m_options.trusted);
    tls.setLocalCertificateChain(QList<QSslCertificate>{m_identity.certificate()} + m_identity.chain());
    tls.setPrivateKey(m_identity.key());
    req.setSslConfiguration(tls);

    QNetworkReply *reply = nam.post(req, envelope);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    enum { Connecting, Answering } phase = Connecting;
    bool timedOut = false, tooLarge = false;
    QStringList sslErrors;
    QObject::connect(reply, &QNetworkReply::requestSent, &loop, [&] {
        phase = Answering;
        timer.start(m_options.answerTimeoutMs);
    });
    QObject::connect(reply, &QNetworkReply::sslErrors, &loop, [&](const QList<QSslError> &errors) {
        for (const QSslError &e : errors)
            sslErrors << e.errorString();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64) {
        if (received > m_options.maxAnswerBytes) {
            tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(m_options.connectTimeoutMs);
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    const QString host = url.host() + (url.port() > 0 ? QStringLiteral(":%1").arg(url.port()) : QString());
    if (timedOut)
        throw TransportError(phase == Connecting ? TransportError::ConnectTimeout : TransportError::AnswerTimeout,
                             phase == Connecting
                                 ? QStringLiteral("tempo esgotado ao conectar a %1 (%2 s)").arg(host).arg(m_options.connectTimeoutMs / 1000.0)
                                 : QStringLiteral("tempo esgotado aguardando a resposta de %1 (%2 s)").arg(host).arg(m_options.answerTimeoutMs / 1000.0));
    if (tooLarge)
        throw TransportError(TransportError::TooLarge, QStringLiteral("resposta de %1 maior que %2 bytes").arg(host).arg(m_options.maxAnswerBytes));
    if (!sslErrors.isEmpty())
        throw TransportError(TransportError::Tls, QStringLiteral("certificado do servidor %1 recusado: %2").arg(host, sslErrors.join(QStringLiteral("; "))));
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError err = reply->error();
    // An HTTP error status still carries a body (a SOAP fault, usually): the caller reads it.
    if (err != QNetworkReply::NoError && status == 0) {
        if (err == QNetworkReply::SslHandshakeFailedError)
            throw TransportError(TransportError::Tls, QStringLiteral("falha no TLS com %1: %2").arg(host, reply->errorString()));
        // Under TLS 1.3 a server that refuses the client's certificate says so only after
        // the handshake, by closing: the client cannot tell it from a dropped connection.
        if (err == QNetworkReply::RemoteHostClosedError)
            throw TransportError(TransportError::Network,
                                 QStringLiteral("%1 fechou a conexão sem responder (certificado da empresa recusado ou serviço interrompido)").arg(host));
        throw TransportError(TransportError::Network, QStringLiteral("falha de rede com %1: %2").arg(host, reply->errorString()));
    }
    return {status, reply->readAll()};
}
