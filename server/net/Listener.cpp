#include "Listener.h"
#include "ServerLog.h"
#include "ServerTls.h"

#include <QTimer>
#include <sys/socket.h>
#include <unistd.h>

Listener::Listener(const NetConfig &config, std::shared_ptr<CallHandler> handler)
    : m_config(config),
      m_budget(config.maxInFlight, config.maxPerCaller > 0 ? config.maxPerCaller : std::max<qint64>(1, config.maxInFlight / 2),
               config.maxPerConnection > 0 ? config.maxPerConnection : qint64(config.maxFrame)),
      m_pool(std::make_unique<WorkerPool>(config.workers, config.maxFrame, std::move(handler)))
{
    wire::Reply r;
    r.ok = false;
    r.error = QStringLiteral("Servidor de aplicação com o máximo de %1 conexões abertas; tente mais tarde.")
                  .arg(config.maxConnections);
    m_overCap = wire::encodeReplyFrame(r);
    m_clock.start();
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

void Listener::submit(quint64 connection, QByteArray payload, qint64 charged, const QString &chargedTo, const Caller &caller)
{
    // Queued from one worker, the frames keep their order on the way to the socket.
    auto early = [this, connection](QByteArray frame) {
        QMetaObject::invokeMethod(this, [this, connection, frame = std::move(frame)] {
            if (Connection *c = m_connections.value(connection))
                c->sendAhead(frame);
        }, Qt::QueuedConnection);
    };
    m_pool->submit(std::move(payload), caller, [this, connection, charged, chargedTo](QByteArray frame, QString log) {
        m_budget.give(chargedTo, charged);
        QMetaObject::invokeMethod(this, [this, connection, frame = std::move(frame), log = std::move(log)] {
            Connection *c = m_connections.value(connection);
            if (!c)
                return; // the client went away meanwhile
            ServerLog::write(c->objectName() + QLatin1Char(' ') + log);
            c->replied(frame);
        }, Qt::QueuedConnection);
    }, early);
}

void Listener::authenticate(quint64 connection, QString token, qint64 charged, const QString &chargedTo)
{
    m_pool->authenticate(std::move(token), [this, connection, charged, chargedTo](std::optional<QString> name, QString failure) {
        m_budget.give(chargedTo, charged);
        QMetaObject::invokeMethod(this, [this, connection, name = std::move(name), failure = std::move(failure)] {
            if (Connection *c = m_connections.value(connection))
                c->authenticated(name, failure);
        }, Qt::QueuedConnection);
    });
}

bool Listener::firstFrameRefused(const QString &address)
{
    const qint64 now = m_clock.elapsed();
    if (m_attempts.failed(address, now))
        ServerLog::write(QStringLiteral("%1: %2 acessos recusados no último minuto; as próximas tentativas deste endereço esperam "
                                        "(de %3 a %4 s, uma de cada vez)")
                             .arg(address)
                             .arg(m_attempts.failures(address, now))
                             .arg(AttemptThrottle::kFirstDelayMs / 1000)
                             .arg(AttemptThrottle::kMaxDelayMs / 1000));
    return m_attempts.failures(address, now) <= AttemptThrottle::kFreeFailures;
}

void Listener::watchCertificates()
{
    if (!m_tls)
        return;
    const auto check = [this] {
        for (const QString &line : certificateWarnings(*m_tls, QDateTime::currentDateTimeUtc()))
            ServerLog::warning(line);
    };
    check();
    auto *daily = new QTimer(this); // on the I/O thread, with the listener
    daily->setInterval(std::chrono::hours(24));
    connect(daily, &QTimer::timeout, this, check);
    daily->start();
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
        if (Connection *gone = m_connections.take(which)) {
            gone->releaseBudget();
            gone->deleteLater();
        }
    });
}
