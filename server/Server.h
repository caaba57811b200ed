#pragma once
// The network side: one thread per client, each with its own store connection.
#include "Authority.h"

#include <QAtomicInt>
#include <QHostAddress>
#include <QMutex>
#include <QTcpServer>
#include <QThread>
#include <memory>

struct ServerConfig {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8750;
    QString storePath = QStringLiteral("dfe-server.sqlite");
    QString uf = QStringLiteral("35");
    quint32 maxFrame = 256u * 1024u * 1024u;
    bool quiet = false;
};

class DfeServer : public QTcpServer {
public:
    DfeServer(ServerConfig config, std::shared_ptr<AuthoritySource> authority);
    ~DfeServer() override;
    bool start(QString &error);
    void stop();
    static void log(const QString &line);
    static bool quiet;

protected:
    void incomingConnection(qintptr socket) override;

private:
    ServerConfig m_config;
    std::shared_ptr<AuthoritySource> m_authority;
    QAtomicInt m_stopping;
    QList<QThread *> m_threads;
    QMutex m_mutex;
};
