#include "NetServer.h"
#include "Listener.h"
#include "ServerLog.h"
#include "ServerTls.h"

#include <QThread>
#include <sys/resource.h>

namespace {
// Descriptors kept apart from connections: listening socket, the workers' store files, the log.
constexpr int kReservedFiles = 64;
constexpr int kFilesPerWorker = 4;
} // namespace

NetServer::NetServer(NetConfig config, std::shared_ptr<CallHandler> handler)
    : m_config(std::move(config)), m_handler(std::move(handler))
{
}

NetServer::~NetServer() { stop(); }

int NetServer::raiseOpenFileLimit()
{
    rlimit l{};
    if (getrlimit(RLIMIT_NOFILE, &l) != 0)
        return 1024;
    if (l.rlim_cur < l.rlim_max) {
        rlimit raised = l;
        raised.rlim_cur = l.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            l = raised;
    }
    return l.rlim_cur > rlim_t(1 << 30) ? (1 << 30) : int(l.rlim_cur);
}

bool NetServer::start(QString &error)
{
    std::optional<QSslConfiguration> tls;
    if (!serverSecurity(m_config, tls, error))
        return false; // before the application opens anything or anything binds
    if (!tls && !m_config.address.isLoopback())
        ServerLog::warning(QStringLiteral("AVISO: texto puro em %1 (--insecure-plaintext): tokens e documentos trafegam sem cifra.")
                               .arg(m_config.address.toString()));
    if (!m_handler->open(error))
        return false;
    const int files = raiseOpenFileLimit();
    const int room = std::max(1, files - kReservedFiles - kFilesPerWorker * m_config.workers);
    m_config.maxConnections = m_config.maxConnections > 0 ? std::min(m_config.maxConnections, room) : room;

    m_io = std::make_unique<QThread>();
    m_io->setObjectName(QStringLiteral("dfe-io"));
    m_io->start();
    m_listener = new Listener(m_config, m_handler);
    m_listener->setSecurity(tls, authenticationRequired(m_config));
    m_listener->moveToThread(m_io.get());
    bool listening = false;
    QMetaObject::invokeMethod(m_listener, [&] {
        listening = m_listener->listen(m_config.address, m_config.port);
        if (listening)
            m_listener->watchCertificates();
        if (!listening)
            error = QStringLiteral("Não foi possível escutar em %1:%2: %3").arg(m_config.address.toString()).arg(m_config.port).arg(m_listener->errorString());
        m_address = m_listener->serverAddress();
        m_port = m_listener->serverPort();
    }, Qt::BlockingQueuedConnection);
    if (!listening) {
        stop();
        return false;
    }
    return true;
}

bool NetServer::post(std::function<void()> job)
{
    if (!m_listener)
        return false;
    m_listener->workers().post(std::move(job));
    return true;
}

void NetServer::stop()
{
    if (!m_io)
        return;
    if (m_listener)
        QMetaObject::invokeMethod(m_listener, [this] { delete m_listener; }, Qt::BlockingQueuedConnection);
    m_listener = nullptr;
    m_io->quit();
    m_io->wait();
    m_io.reset();
}
