#include "Listener.h"
#include "ServerLog.h"

#include <QTimer>
#include <sys/socket.h>
#include <unistd.h>

Listener::Listener(const NetConfig &config, std::shared_ptr<CallHandler> handler)
    : m_config(config), m_pool(std::make_unique<WorkerPool>(config.workers, config.maxFrame, std::move(handler)))
{
    wire::Reply r;
    r.ok = false;
    r.error = QStringLiteral("Servidor de aplicação com o máximo de %1 conexões abertas; tente mais tarde.")
                  .arg(config.maxConnections);
    m_overCap = wire::encodeReplyFrame(r);
    // Out of descriptors for a moment: keep accepting once some are back, instead of stopping for good.
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        pauseAccepting();
        QTimer::singleShot(200, this, [this] { resumeAccepting(); });
    });
}

Listener::~Listener()
{
    close();
    m_pool->waitForDone();
    for (Connection *c : std::as_const(m_connections))
        delete c;
    m_connections.clear();
}

bool Listener::reserve(quint32 bytes)
{
    qint64 now = m_inFlight.load();
    do {
        if (now + qint64(bytes) > m_config.maxInFlight)
            return false;
    } while (!m_inFlight.compare_exchange_weak(now, now + qint64(bytes)));
    return true;
}

void Listener::submit(quint64 connection, QByteArray payload, quint32 reserved, const Caller &caller)
{
    m_pool->submit(std::move(payload), caller, [this, connection, reserved](QByteArray frame, QString log) {
        unreserve(reserved);
        QMetaObject::invokeMethod(this, [this, connection, frame = std::move(frame), log = std::move(log)] {
            Connection *c = m_connections.value(connection);
            if (!c)
                return; // the client went away meanwhile
            ServerLog::write(c->objectName() + QLatin1Char(' ') + log);
            c->replied(frame);
        }, Qt::QueuedConnection);
    });
}

void Listener::authenticate(quint64 connection, QString token, quint32 reserved)
{
    m_pool->authenticate(std::move(token), [this, connection, reserved](std::optional<QString> name, QString failure) {
        unreserve(reserved);
        QMetaObject::invokeMethod(this, [this, connection, name = std::move(name), failure = std::move(failure)] {
            if (Connection *c = m_connections.value(connection))
                c->authenticated(name, failure);
        }, Qt::QueuedConnection);
    });
}

void Listener::reject(qintptr fd)
{
    if (m_tls) {
        ::close(int(fd)); // a plain reply means nothing to a TLS client
        return;
    }
    // A best-effort reply on a fresh socket: it fits the kernel's buffer.
    ::send(int(fd), m_overCap.constData(), size_t(m_overCap.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(int(fd), SHUT_RDWR);
    ::close(int(fd));
}

void Listener::incomingConnection(qintptr fd)
{
    if (m_connections.size() >= m_config.maxConnections) {
        reject(fd);
        return;
    }
    const quint64 id = ++m_nextId;
    auto *c = new Connection(id, fd, *this);
    if (!c->isOpen()) {
        delete c;
        return;
    }
    m_connections.insert(id, c);
    connect(c, &Connection::finished, this, [this](quint64 which) {
        if (Connection *gone = m_connections.take(which))
            gone->deleteLater();
    });
}
