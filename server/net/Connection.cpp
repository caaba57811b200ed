#include "Connection.h"
#include "ServerLog.h"

#include "Hello.h"

#include <QSslSocket>
#include <QTcpSocket>

namespace {
constexpr qint64 kReadChunk = 256 * 1024;
// Before a connection is authenticated only a first frame this small is read.
constexpr quint32 kMaxHello = 4096;
const QString kAuthRequired = QStringLiteral(
    "autenticação exigida antes da primeira chamada; configure token (ou client_cert e client_key) em [server] do arquivo de "
    "configuração");
}

Connection::Connection(quint64 id, qintptr fd, ConnectionOwner &owner)
    : m_id(id), m_owner(owner), m_reader(owner.config().maxFrame)
{
    QTcpSocket *s = owner.tls() ? new QSslSocket(this) : new QTcpSocket(this);
    if (!s->setSocketDescriptor(fd)) {
        delete s;
        return;
    }
    m_socket = s;
    m_authenticated = !owner.authRequired();
    // The socket holds little; a frame's bytes go straight into the frame reader.
    m_socket->setReadBufferSize(kReadChunk);
    setObjectName(QStringLiteral("%1:%2").arg(s->peerAddress().toString()).arg(s->peerPort()));
    m_idle.setSingleShot(true);
    m_idle.setInterval(std::max(1, owner.config().idleTimeoutMs));
    connect(&m_idle, &QTimer::timeout, this, [this] {
        ServerLog::write(objectName() + QStringLiteral(" conexão ociosa encerrada"));
        close();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, [this] {
        if (!m_busy)
            m_idle.start();
        pump();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] { close(); });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::SslHandshakeFailedError) {
            ServerLog::write(objectName() + QStringLiteral(" negociação TLS recusada: ") + m_socket->errorString());
            // Closed gently, so that the alert saying why reaches the client; the idle timer bounds the wait.
            m_closing = true;
            m_socket->disconnectFromHost();
            return;
        }
        if (e != QAbstractSocket::RemoteHostClosedError)
            close();
    });
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket)) {
        m_encrypted = false;
        tls->setSslConfiguration(*owner.tls());
        connect(tls, &QSslSocket::encrypted, this, [this] { tlsReady(); });
        tls->startServerEncryption();
    }
    m_idle.start();
}

void Connection::tlsReady()
{
    auto *tls = static_cast<QSslSocket *>(m_socket);
    m_encrypted = true;
    // With --client-ca a certificate is asked for; it counts when that CA issued it.
    const QSslCertificate peer = tls->peerCertificate();
    if (!peer.isNull() && m_owner.tls()->peerVerifyMode() == QSslSocket::QueryPeer) {
        const QString cn = peer.subjectInfo(QSslCertificate::CommonName).value(0);
        const QList<QSslError> errors = tls->sslHandshakeErrors();
        if (!errors.isEmpty()) {
            QString why = QStringLiteral("não foi emitido pela autoridade aceita por este servidor");
            for (const QSslError &e : errors)
                if (e.error() == QSslError::CertificateExpired)
                    why = QStringLiteral("expirou em %1").arg(peer.expiryDate().toString(QStringLiteral("dd/MM/yyyy")));
            deny(QStringLiteral("certificado de cliente \"%1\" recusado: %2").arg(cn, why));
            return;
        }
        m_caller = Caller{Caller::Kind::Certificate, cn};
        m_authenticated = true;
        ServerLog::write(objectName() + QStringLiteral(" TLS com ") + m_caller.describe());
    }
    pump();
}

Connection::~Connection()
{
    if (m_haveReservation)
        m_owner.unreserve(m_reserved);
}

void Connection::deny(const QString &why)
{
    wire::Reply r;
    r.ok = false;
    r.error = why;
    m_socket->write(wire::encodeReplyFrame(r));
    ServerLog::write(objectName() + QStringLiteral(" acesso recusado: ") + why);
    m_closing = true;
    m_socket->disconnectFromHost();
}

void Connection::refuse(const QString &why, bool thenClose)
{
    wire::Reply r;
    r.ok = false;
    r.error = QStringLiteral("Pedido recusado: %1").arg(why);
    m_socket->write(wire::encodeReplyFrame(r));
    ServerLog::write(objectName() + QStringLiteral(" pedido recusado: ") + why);
    if (thenClose) {
        m_closing = true;
        m_socket->disconnectFromHost(); // after the reply is written; the idle timer bounds the wait
    }
}

void Connection::close()
{
    if (m_finished)
        return;
    m_finished = true;
    m_closing = true;
    m_idle.stop();
    m_socket->abort();
    Q_EMIT finished(m_id);
}

void Connection::pump()
{
    while (!m_busy && !m_closing && m_encrypted) {
        quint32 n = 0;
        if (!m_haveReservation && m_reader.announced(n)) {
            if (!m_authenticated && n > kMaxHello) {
                deny(kAuthRequired);
                return;
            }
            if (n > m_owner.config().maxFrame) {
                // The stream cannot be trusted after this: one reply, then the connection goes.
                refuse(QStringLiteral("mensagem de %1 bytes excede o limite de %2 bytes").arg(n).arg(m_owner.config().maxFrame), true);
                return;
            }
            if (!m_owner.reserve(n)) {
                m_reader.skipFrame();
                refuse(QStringLiteral("servidor de aplicação ocupado com outras mensagens grandes (%1 bytes); tente mais tarde").arg(n), false);
                continue;
            }
            m_reserved = n;
            m_haveReservation = true;
        }
        QByteArray payload;
        if (m_haveReservation && m_reader.next(payload)) {
            m_busy = true;
            m_idle.stop();
            m_haveReservation = false;
            if (wire::isHello(payload)) {
                hello(payload);
                if (m_busy || m_closing)
                    return;
                continue;
            }
            if (!m_authenticated) {
                m_owner.unreserve(m_reserved);
                m_busy = false;
                deny(kAuthRequired);
                return;
            }
            m_owner.submit(m_id, std::move(payload), m_reserved, m_caller);
            return;
        }
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0)
            return;
        const QByteArray bytes = m_socket->read(std::min(available, kReadChunk));
        if (!m_sniffed && !m_owner.tls() && m_reader.pending() + bytes.size() >= 2) {
            m_sniffed = true;
            // A TLS client's first record would read as a huge frame: tell it at once instead.
            if (m_reader.pending() == 0 && uchar(bytes[0]) == 0x16 && uchar(bytes[1]) == 0x03) {
                refuse(QStringLiteral("este servidor de aplicação não usa TLS"), true);
                return;
            }
        }
        m_reader.feed(bytes);
    }
}

void Connection::hello(const QByteArray &payload)
{
    wire::Hello h;
    try {
        h = wire::decodeHello(payload);
    } catch (const std::exception &e) {
        m_owner.unreserve(m_reserved);
        m_busy = false;
        deny(QString::fromUtf8(e.what()));
        return;
    }
    if (!h.token.isEmpty()) {
        m_owner.authenticate(m_id, h.token, m_reserved); // m_busy until the answer
        return;
    }
    m_owner.unreserve(m_reserved);
    m_busy = false;
    if (!m_authenticated) {
        deny(kAuthRequired);
        return;
    }
    wire::Reply r;
    r.result = m_caller.describe();
    m_socket->write(wire::encodeReplyFrame(r));
    m_idle.start();
}

void Connection::authenticated(const std::optional<QString> &name, const QString &failure)
{
    m_busy = false;
    if (m_closing)
        return;
    if (!name) {
        // One try per connection: a wrong secret closes it.
        deny(failure.isEmpty() ? QStringLiteral("token de acesso desconhecido neste servidor (ou removido); confira token em [server] "
                                                "do arquivo de configuração")
                               : failure);
        return;
    }
    m_caller = Caller{Caller::Kind::Token, *name};
    m_authenticated = true;
    ServerLog::write(objectName() + QStringLiteral(" autenticado: ") + m_caller.describe());
    wire::Reply r;
    r.result = m_caller.describe();
    m_socket->write(wire::encodeReplyFrame(r));
    m_idle.start();
    pump();
}

void Connection::replied(const QByteArray &frame)
{
    m_busy = false;
    if (m_closing)
        return;
    m_socket->write(frame);
    m_idle.start();
    pump();
}
