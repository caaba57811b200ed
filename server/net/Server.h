#pragma once
// The network side: connections are served by an event loop on one I/O thread, and
// their calls run on a bounded pool of workers (see Listener, Connection, WorkerPool).
#include "authority/Authority.h"

#include <QHostAddress>
#include <QString>
#include <memory>

struct ServerConfig {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8750;
    QString storePath = QStringLiteral("dfe-server.sqlite");
    QString uf = QStringLiteral("35");
    quint32 maxFrame = 256u * 1024u * 1024u;
    int maxConnections = 0;               // 0: sized to the open-file limit
    int idleTimeoutMs = 5 * 60 * 1000;    // a connection without a call for this long is closed
    int workers = 16;                     // calls running at once
    qint64 maxInFlight = 1024ll * 1024 * 1024; // request bytes held across all connections
    int busyTimeoutMs = 10000;            // wait for another writer of the store
    bool quiet = false;
    // TLS (PEM files): serves TLS 1.2 or later only. With clientCa, a client proves itself
    // with a certificate that CA issued; otherwise with a token in its first frame.
    QString tlsCert, tlsKey, clientCa;
    bool insecurePlaintext = false; // plain text on an address other than loopback
};

class Listener;
class QThread;

class DfeServer {
public:
    DfeServer(ServerConfig config, std::shared_ptr<AuthoritySource> authority);
    ~DfeServer();
    DfeServer(const DfeServer &) = delete;
    DfeServer &operator=(const DfeServer &) = delete;
    bool start(QString &error);
    void stop();
    QHostAddress serverAddress() const { return m_address; }
    quint16 serverPort() const { return m_port; }
    // The connection cap in force (after start).
    int maxConnections() const { return m_config.maxConnections; }
    static void log(const QString &line);
    static bool quiet;
    // Raises the soft open-file limit to the hard one; returns the limit in force.
    static int raiseOpenFileLimit();

private:
    ServerConfig m_config;
    std::shared_ptr<AuthoritySource> m_authority;
    std::unique_ptr<QThread> m_io;
    Listener *m_listener = nullptr; // lives in m_io
    QHostAddress m_address;
    quint16 m_port = 0;
};
