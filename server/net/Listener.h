#pragma once
// Accepts connections on the I/O thread, up to a cap: one over it gets an error reply
// and is closed. Owns the connections, the worker pool and the in-flight byte budget.
#include "AttemptThrottle.h"
#include "CallHandler.h"
#include "Connection.h"
#include "NetConfig.h"
#include "WorkerPool.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSslConfiguration>
#include <QTcpServer>
#include <memory>
#include <optional>

class Listener : public QTcpServer, public ConnectionOwner {
public:
    Listener(const NetConfig &config, std::shared_ptr<CallHandler> handler);
    ~Listener() override;
    const NetConfig &config() const override { return m_config; }
    ByteBudget &budget() override { return m_budget; }
    void submit(quint64 connection, QByteArray payload, qint64 charged, const QString &chargedTo, const Caller &caller) override;
    qint64 firstFrameDelay(const QString &address) override { return m_attempts.admit(address, m_clock.elapsed()); }
    bool firstFrameRefused(const QString &address) override;
    // Checks a token's secret on a worker; the connection learns who it is.
    void authenticate(quint64 connection, QString token, qint64 charged, const QString &chargedTo) override;
    // Before listening: TLS (when set) and whether clients must authenticate.
    void setSecurity(std::optional<QSslConfiguration> tls, bool authRequired)
    {
        m_tls = std::move(tls);
        m_authRequired = authRequired;
    }
    const std::optional<QSslConfiguration> &tls() const override { return m_tls; }
    bool authRequired() const override { return m_authRequired; }
    // Logs the certificates that expire soon now, and again every day.
    void watchCertificates();
    int openConnections() const { return int(m_connections.size()); }
    WorkerPool &workers() { return *m_pool; } // thread-safe

protected:
    void incomingConnection(qintptr fd) override;

private:
    void reject(qintptr fd);
    NetConfig m_config;
    ByteBudget m_budget;
    AttemptThrottle m_attempts;
    QElapsedTimer m_clock;
    QHash<quint64, Connection *> m_connections;
    quint64 m_nextId = 0;
    QByteArray m_overCap;
    std::optional<QSslConfiguration> m_tls;
    bool m_authRequired = false;
    std::unique_ptr<WorkerPool> m_pool; // last member: its workers finish before the rest goes
};
