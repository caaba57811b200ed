#include "Connection.h"
#include "Listener.h"

#include <QTcpSocket>

namespace {
constexpr qint64 kReadChunk = 256 * 1024;
}

Connection::Connection(quint64 id, qintptr fd, Listener &owner)
    : m_id(id), m_owner(owner), m_reader(owner.config().maxFrame)
{
    auto *s = new QTcpSocket(this);
    if (!s->setSocketDescriptor(fd)) {
        delete s;
        return;
    }
    m_socket = s;
    // The socket holds little; a frame's bytes go straight into the frame reader.
    m_socket->setReadBufferSize(kReadChunk);
    setObjectName(QStringLiteral("%1:%2").arg(s->peerAddress().toString()).arg(s->peerPort()));
    m_idle.setSingleShot(true);
    m_idle.setInterval(std::max(1, owner.config().idleTimeoutMs));
    connect(&m_idle, &QTimer::timeout, this, [this] {
        DfeServer::log(objectName() + QStringLiteral(" conexão ociosa encerrada"));
        close();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, [this] {
        if (!m_busy)
            m_idle.start();
        pump();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] { close(); });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError)
            close();
    });
    m_idle.start();
}

Connection::~Connection()
{
    if (m_haveReservation)
        m_owner.unreserve(m_reserved);
}

void Connection::refuse(const QString &why, bool thenClose)
{
    wire::Reply r;
    r.ok = false;
    r.error = QStringLiteral("Pedido recusado: %1").arg(why);
    m_socket->write(wire::encodeReplyFrame(r));
    DfeServer::log(objectName() + QStringLiteral(" pedido recusado: ") + why);
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
    while (!m_busy && !m_closing) {
        quint32 n = 0;
        if (!m_haveReservation && m_reader.announced(n)) {
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
            m_owner.submit(m_id, std::move(payload), m_reserved);
            return;
        }
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0)
            return;
        m_reader.feed(m_socket->read(std::min(available, kReadChunk)));
    }
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
