#include "Connection.h"
#include "ServerLog.h"

#include "Hello.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <utility>

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
    m_address = s->peerAddress().toString();
    setObjectName(QStringLiteral("%1:%2").arg(m_address).arg(s->peerPort()));
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
    m_stall.setSingleShot(true);
    m_stall.setInterval(std::max(1, owner.config().frameStallMs));
    connect(&m_stall, &QTimer::timeout, this, [this] { stalled(); });
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
    // A finished connection gave its bytes back before its deferred delete, which may run
    // after its owner is gone.
    if (m_held > 0)
        m_owner.budget().give(chargeKey(), m_held);
}

void Connection::releaseBudget()
{
    m_owner.budget().give(chargeKey(), std::exchange(m_held, 0));
}

void Connection::deny(const QString &why, bool counted)
{
    wire::Reply r;
    r.ok = false;
    r.error = why;
    m_socket->write(wire::encodeReplyFrame(r));
    if (!counted || m_owner.firstFrameRefused(m_address))
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
    m_stall.stop();
    m_socket->abort();
    Q_EMIT finished(m_id);
}

void Connection::pump()
{
    while (!m_busy && !m_closing && m_encrypted) {
        quint32 n = 0;
        const bool headIn = m_toSkip == 0 && m_reader.announced(n);
        if (headIn && !m_admitted && !admit(n))
            return;
        QByteArray payload;
        if (headIn && m_reader.next(payload)) {
            dispatch(std::move(payload));
            continue;
        }
        if (!readMore(headIn, n))
            return;
    }
}

// The announced length decides only whether the frame may come at all; what it holds
// is counted as it arrives.
bool Connection::admit(quint32 n)
{
    if (!m_authenticated && n > kMaxHello) {
        deny(kAuthRequired);
        return false;
    }
    if (n > m_owner.config().maxFrame) {
        // The stream cannot be trusted after this: one reply, then the connection goes.
        refuse(QStringLiteral("mensagem de %1 bytes excede o limite de %2 bytes").arg(n).arg(m_owner.config().maxFrame), true);
        return false;
    }
    m_admitted = true;
    return true;
}

// Reads what the frame in progress still lacks (or a refused frame's rest, dropped);
// false when nothing is there yet or the connection goes.
bool Connection::readMore(bool headIn, quint32 n)
{
    const qint64 available = m_socket->bytesAvailable();
    if (available <= 0)
        return false;
    if (m_toSkip > 0) {
        const qint64 dropped = m_socket->skip(qint64(std::min<quint64>(m_toSkip, quint64(std::min(available, kReadChunk)))));
        m_toSkip -= quint64(std::max<qint64>(dropped, 0));
        if (m_toSkip == 0)
            m_stall.stop();
        else
            m_stall.start();
        return dropped > 0;
    }
    const qint64 want = headIn ? qint64(n) + 4 - m_reader.pending() : 4 - m_reader.pending();
    const QByteArray bytes = m_socket->read(std::min({available, kReadChunk, want}));
    if (!m_sniffed && !m_owner.tls() && m_reader.pending() + bytes.size() >= 2) {
        m_sniffed = true;
        // A TLS client's first record would read as a huge frame: tell it at once instead.
        if (m_reader.pending() == 0 && uchar(bytes[0]) == 0x16 && uchar(bytes[1]) == 0x03) {
            refuse(QStringLiteral("este servidor de aplicação não usa TLS"), true);
            return false;
        }
    }
    if (headIn) { // the frame head itself is not counted: at most 4 bytes a connection
        const ByteBudget::Refusal why = m_owner.budget().take(chargeKey(), m_held, bytes.size());
        if (why != ByteBudget::Refusal::None) {
            overBudget(why, n, bytes.size());
            return true;
        }
        m_held += bytes.size();
    }
    m_reader.feed(bytes);
    m_stall.start();
    return true;
}

// The frame in progress is refused; its bytes here are let go and the rest skipped as
// it comes, so the connection stays usable.
void Connection::overBudget(ByteBudget::Refusal why, quint32 n, qsizetype unread)
{
    const QString key = chargeKey();
    const ByteBudget &budget = m_owner.budget();
    m_toSkip = quint64(n) + 4 - quint64(m_reader.pending()) - quint64(unread);
    m_owner.budget().give(key, m_held);
    m_held = 0;
    m_admitted = false;
    m_reader = wire::FrameReader(m_owner.config().maxFrame);
    if (m_toSkip == 0)
        m_stall.stop();
    switch (why) {
    case ByteBudget::Refusal::Connection:
        refuse(QStringLiteral("mensagem de %1 bytes excede o limite de %2 bytes por conexão").arg(n).arg(budget.perConnection()), false);
        break;
    case ByteBudget::Refusal::Caller:
        refuse(QStringLiteral("servidor de aplicação ocupado com outras mensagens grandes de %1 (%2 bytes; até %3 bytes por cliente); "
                              "tente mais tarde").arg(key).arg(n).arg(budget.perCaller()), false);
        break;
    default:
        refuse(QStringLiteral("servidor de aplicação ocupado com outras mensagens grandes (%1 bytes); tente mais tarde").arg(n), false);
    }
}

void Connection::dispatch(QByteArray payload)
{
    m_stall.stop();
    m_busy = true;
    m_idle.stop();
    m_admitted = false;
    if (std::exchange(m_firstFrame, false)) {
        // An address that keeps sending wrong credentials waits its turn (the frame's bytes stay held).
        if (const qint64 wait = m_owner.firstFrameDelay(m_address); wait > 0) {
            QTimer::singleShot(std::chrono::milliseconds(wait), this, [this, payload = std::move(payload)]() mutable {
                if (m_closing)
                    return;
                handle(std::move(payload));
                pump();
            });
            return;
        }
    }
    handle(std::move(payload));
}

void Connection::handle(QByteArray payload)
{
    const qint64 charged = std::exchange(m_held, 0);
    if (wire::isHello(payload)) {
        hello(payload, charged);
        return;
    }
    if (!m_authenticated) {
        m_owner.budget().give(chargeKey(), charged);
        m_busy = false;
        deny(kAuthRequired);
        return;
    }
    m_owner.submit(m_id, std::move(payload), charged, chargeKey(), m_caller);
}

void Connection::stalled()
{
    if (m_busy || m_closing || (m_reader.pending() == 0 && m_toSkip == 0))
        return;
    m_owner.budget().give(chargeKey(), m_held);
    m_held = 0;
    const int seconds = std::max(1, m_owner.config().frameStallMs / 1000);
    refuse(QStringLiteral("mensagem incompleta: nenhum byte novo em %1 s; conexão encerrada").arg(seconds), true);
}

void Connection::hello(const QByteArray &payload, qint64 charged)
{
    wire::Hello h;
    try {
        h = wire::decodeHello(payload);
    } catch (const std::exception &e) {
        m_owner.budget().give(chargeKey(), charged);
        m_busy = false;
        deny(QString::fromUtf8(e.what()));
        return;
    }
    if (!h.token.isEmpty()) {
        m_owner.authenticate(m_id, h.token, charged, chargeKey()); // m_busy until the answer
        return;
    }
    m_owner.budget().give(chargeKey(), charged);
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
                               : failure,
             failure.isEmpty()); // a store that failed is not the caller's fault
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

void Connection::sendAhead(const QByteArray &frame)
{
    if (!m_closing)
        m_socket->write(frame);
}

void Connection::replied(const QByteArray &frame)
{
    m_busy = false;
    if (m_closing)
        return;
    if (!frame.isEmpty())
        m_socket->write(frame);
    m_idle.start();
    pump();
}
