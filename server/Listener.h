#pragma once
// Accepts connections on the I/O thread, up to a cap: one over it gets an error reply
// and is closed. Owns the connections, the worker pool and the in-flight byte budget.
#include "Server.h"
#include "WorkerPool.h"

#include <QHash>
#include <QTcpServer>
#include <atomic>
#include <memory>

class Connection;

class Listener : public QTcpServer {
public:
    Listener(const ServerConfig &config, std::shared_ptr<AuthoritySource> authority);
    ~Listener() override;
    const ServerConfig &config() const { return m_config; }
    // Takes `bytes` from the in-flight budget; false when they do not fit.
    bool reserve(quint32 bytes);
    void unreserve(quint32 bytes) { m_inFlight -= bytes; }
    void submit(quint64 connection, QByteArray payload, quint32 reserved);
    int openConnections() const { return int(m_connections.size()); }

protected:
    void incomingConnection(qintptr fd) override;

private:
    void reject(qintptr fd);
    ServerConfig m_config;
    std::atomic<qint64> m_inFlight{0};
    QHash<quint64, Connection *> m_connections;
    quint64 m_nextId = 0;
    QByteArray m_overCap;
    std::unique_ptr<WorkerPool> m_pool; // last member: its workers finish before the rest goes
};
