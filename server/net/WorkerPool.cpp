#include "WorkerPool.h"
#include "Frame.h"

#include <QElapsedTimer>
#include <QRunnable>

namespace {
wire::Reply failure(const QString &why)
{
    wire::Reply r;
    r.ok = false;
    r.error = why;
    return r;
}
} // namespace

WorkerPool::WorkerPool(int workers, quint32 maxFrame, std::shared_ptr<CallHandler> handler)
    : m_maxFrame(maxFrame), m_handler(std::move(handler))
{
    m_pool.setMaxThreadCount(std::max(1, workers));
}

WorkerPool::~WorkerPool() { m_pool.waitForDone(); }

QByteArray WorkerPool::answer(const QByteArray &payload, QString &log, const Caller &caller, const wire::FrameSink &early)
{
    QElapsedTimer t;
    t.start();
    wire::Reply reply;
    QString method = QStringLiteral("?");
    try {
        const wire::Request req = wire::decodeRequest(payload);
        method = req.method;
        reply = m_handler->handle(req, caller, early);
    } catch (const std::exception &e) {
        reply = failure(QStringLiteral("Pedido inválido: %1").arg(QString::fromUtf8(e.what())));
    }
    QString result;
    const bool sent = reply.sent;
    const QByteArray out = sent ? QByteArray() : frame(std::move(reply), result);
    if (sent)
        result = m_handler->outcome(reply) + QStringLiteral(" (em partes)");
    log = QStringLiteral("%1 (%2) %3 ms %4").arg(method, caller.describe()).arg(t.elapsed()).arg(result);
    return out;
}

// The reply's frame, or the frame of the error that replaces it; `result` describes what goes out.
QByteArray WorkerPool::frame(wire::Reply reply, QString &result)
{
    QByteArray out;
    result = m_handler->outcome(reply);
    try {
        out = wire::encodeReplyFrame(std::move(reply)); // a large list is framed where it was built
    } catch (const std::exception &e) {
        reply = failure(QStringLiteral("Erro no servidor de aplicação: %1").arg(QString::fromUtf8(e.what())));
        result = m_handler->outcome(reply);
        out = wire::encodeReplyFrame(reply);
    }
    if (quint64(out.size()) - 4 > m_maxFrame) {
        const qsizetype size = out.size() - 4;
        out.clear();
        reply = failure(QStringLiteral("A resposta de %1 bytes excede o limite de %2 bytes por mensagem do servidor.")
                            .arg(size).arg(m_maxFrame));
        result = m_handler->outcome(reply);
        out = wire::encodeReplyFrame(reply);
    }
    return out;
}

void WorkerPool::authenticate(QString token, std::function<void(std::optional<QString>, QString)> done)
{
    m_pool.start([this, token = std::move(token), done = std::move(done)]() mutable {
        QString failure;
        std::optional<QString> name = m_handler->tokenName(token, failure);
        done(std::move(name), std::move(failure));
    });
}

void WorkerPool::submit(QByteArray payload, Caller caller, std::function<void(QByteArray, QString)> done, wire::FrameSink early)
{
    m_pool.start([this, payload = std::move(payload), caller = std::move(caller), done = std::move(done),
                  early = std::move(early)]() mutable {
        QString log;
        QByteArray out = answer(payload, log, caller, early);
        payload = QByteArray(); // the request's bytes are not held while the reply travels
        done(std::move(out), std::move(log));
    });
}
