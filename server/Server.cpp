#include "Server.h"
#include "Frame.h"
#include "Methods.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <cstdio>

bool DfeServer::quiet = false;

namespace {
QMutex logMutex;

QString outcome(const wire::Reply &r)
{
    if (!r.ok)
        return QStringLiteral("erro: ") + r.error;
    const QVariantList l = r.result.toList();
    if (l.size() == 2)
        return QStringLiteral("flag ") + l[0].toString() +
               (l[0].toString() == QLatin1String("S") ? QString() : QStringLiteral(": ") + l[1].toString());
    return QStringLiteral("ok");
}

class ClientThread : public QThread {
public:
    ClientThread(qintptr fd, const ServerConfig &c, std::shared_ptr<AuthoritySource> a, QAtomicInt &stopping)
        : m_fd(fd), m_config(c), m_authority(std::move(a)), m_stopping(stopping)
    {
    }

protected:
    void run() override
    {
        QTcpSocket socket;
        if (!socket.setSocketDescriptor(m_fd))
            return;
        const QString peer = QStringLiteral("%1:%2").arg(socket.peerAddress().toString()).arg(socket.peerPort());
        std::unique_ptr<Store> store;
        try {
            store = std::make_unique<Store>(m_config.storePath);
        } catch (const std::exception &e) {
            DfeServer::log(QStringLiteral("%1 recusado: %2").arg(peer, QString::fromUtf8(e.what())));
            return;
        }
        RemoteModule module(*store, *m_authority, m_config.uf);
        wire::FrameReader reader(m_config.maxFrame);
        while (!m_stopping.loadRelaxed() && socket.state() == QAbstractSocket::ConnectedState) {
            if (!socket.waitForReadyRead(500)) {
                if (socket.state() != QAbstractSocket::ConnectedState)
                    break;
                continue;
            }
            reader.feed(socket.readAll());
            try {
                QByteArray payload;
                while (reader.next(payload)) {
                    QElapsedTimer t;
                    t.start();
                    wire::Reply reply;
                    QString method = QStringLiteral("?");
                    try {
                        const wire::Request req = wire::decodeRequest(payload);
                        method = req.method;
                        reply = module.call(req);
                    } catch (const std::exception &e) {
                        reply.ok = false;
                        reply.error = QStringLiteral("Pedido inválido: %1").arg(QString::fromUtf8(e.what()));
                    }
                    socket.write(wire::frame(wire::encodeReply(reply)));
                    socket.flush();
                    DfeServer::log(QStringLiteral("%1 %2 %3 ms %4").arg(peer, method).arg(t.elapsed()).arg(outcome(reply)));
                }
            } catch (const std::exception &e) {
                // An announced length over the limit: the stream can no longer be trusted.
                wire::Reply reply;
                reply.ok = false;
                reply.error = QStringLiteral("Pedido recusado: %1").arg(QString::fromUtf8(e.what()));
                socket.write(wire::frame(wire::encodeReply(reply)));
                socket.waitForBytesWritten(2000);
                DfeServer::log(QStringLiteral("%1 conexão encerrada: %2").arg(peer, QString::fromUtf8(e.what())));
                break;
            }
        }
        socket.disconnectFromHost();
        if (socket.state() != QAbstractSocket::UnconnectedState)
            socket.waitForDisconnected(1000);
    }

private:
    qintptr m_fd;
    ServerConfig m_config;
    std::shared_ptr<AuthoritySource> m_authority;
    QAtomicInt &m_stopping;
};
} // namespace

DfeServer::DfeServer(ServerConfig config, std::shared_ptr<AuthoritySource> authority)
    : m_config(std::move(config)), m_authority(std::move(authority))
{
}

DfeServer::~DfeServer() { stop(); }

bool DfeServer::start(QString &error)
{
    try {
        Store check(m_config.storePath); // creates or upgrades the schema before any client
    } catch (const std::exception &e) {
        error = QStringLiteral("Não foi possível abrir o armazenamento %1: %2").arg(m_config.storePath, QString::fromUtf8(e.what()));
        return false;
    }
    if (!listen(m_config.address, m_config.port)) {
        error = QStringLiteral("Não foi possível escutar em %1:%2: %3").arg(m_config.address.toString()).arg(m_config.port).arg(errorString());
        return false;
    }
    return true;
}

void DfeServer::stop()
{
    close();
    m_stopping.storeRelaxed(1);
    QMutexLocker lock(&m_mutex);
    for (QThread *t : m_threads) {
        t->wait(5000);
        delete t;
    }
    m_threads.clear();
}

void DfeServer::incomingConnection(qintptr socket)
{
    auto *t = new ClientThread(socket, m_config, m_authority, m_stopping);
    QMutexLocker lock(&m_mutex);
    // Finished threads are reaped here, so a long-running server does not collect them.
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if ((*it)->isFinished()) {
            delete *it;
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
    m_threads.append(t);
    t->start();
}

void DfeServer::log(const QString &line)
{
    if (quiet)
        return;
    QMutexLocker lock(&logMutex);
    std::fprintf(stderr, "%s %s\n", qPrintable(QDateTime::currentDateTime().toString(Qt::ISODateWithMs)),
                 line.toLocal8Bit().constData());
    std::fflush(stderr);
}
