#pragma once
// The calls of all connections run here, at most `workers` at once, each worker with
// a store connection of its own (kept for the next call).
#include "authority/Authority.h"
#include "Callers.h"
#include "Server.h"
#include "store/Store.h"

#include <QMutex>
#include <QThreadPool>
#include <functional>
#include <memory>
#include <vector>

class WorkerPool {
public:
    WorkerPool(const ServerConfig &config, std::shared_ptr<AuthoritySource> authority);
    ~WorkerPool();
    // Runs one request frame's payload; `done` gets the reply frame and a log line, on the worker.
    void submit(QByteArray payload, Caller caller, std::function<void(QByteArray frame, QString log)> done);
    // Looks a token's secret up; `done` gets its name, or nothing and why, on the worker.
    void authenticate(QString token, std::function<void(std::optional<QString> name, QString failure)> done);
    void waitForDone() { m_pool.waitForDone(); }
    // The reply frame to a request payload; never throws.
    QByteArray answer(const QByteArray &payload, QString &log, const Caller &caller = {});

private:
    std::unique_ptr<Store> acquire();
    void release(std::unique_ptr<Store> store);
    ServerConfig m_config;
    std::shared_ptr<AuthoritySource> m_authority;
    QMutex m_mutex;
    std::vector<std::unique_ptr<Store>> m_idle;
    QThreadPool m_pool;
};
