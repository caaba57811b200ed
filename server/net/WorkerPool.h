#pragma once
// The calls of all connections run here, at most `workers` at once; each decoded call
// goes to the application's handler.
#include "CallHandler.h"
#include "Caller.h"

#include <QThreadPool>
#include <functional>
#include <memory>

class WorkerPool {
public:
    WorkerPool(int workers, quint32 maxFrame, std::shared_ptr<CallHandler> handler);
    ~WorkerPool();
    // Runs one request frame's payload; `done` gets the reply frame (empty when it went
    // out through `early`) and a log line, on the worker; `early` gets the frames that go
    // ahead of the reply, on the worker too.
    void submit(QByteArray payload, Caller caller, std::function<void(QByteArray frame, QString log)> done,
                wire::FrameSink early = {});
    // Looks a token's secret up; `done` gets its name, or nothing and why, on the worker.
    void authenticate(QString token, std::function<void(std::optional<QString> name, QString failure)> done);
    // Runs other work of the application (a scheduled capture) on the same workers.
    void post(std::function<void()> job) { m_pool.start(std::move(job)); }
    void waitForDone() { m_pool.waitForDone(); }
    // The reply frame to a request payload; never throws.
    QByteArray answer(const QByteArray &payload, QString &log, const Caller &caller = {}, const wire::FrameSink &early = {});

private:
    QByteArray frame(wire::Reply reply, QString &result);
    quint32 m_maxFrame;
    std::shared_ptr<CallHandler> m_handler;
    QThreadPool m_pool;
};
