#include "WorkerPool.h"
#include "Frame.h"
#include "RemoteModule.h"

#include <QElapsedTimer>
#include <QRunnable>

namespace {
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

wire::Reply failure(const QString &why)
{
    wire::Reply r;
    r.ok = false;
    r.error = why;
    return r;
}
// Why the caller may not make this call, or empty. Read per call, so that a removed
// token or registration takes effect at once.
QString refusal(Store &store, const Caller &caller, const wire::Request &req)
{
    const QSet<QString> allowed = callers::registrations(store, caller);
    if (allowed.isEmpty())
        return QStringLiteral("Acesso negado: %1 não está autorizado neste servidor de aplicação.").arg(caller.describe());
    const std::optional<QString> reg = callers::requestRegistration(req.method, req.args);
    if (reg && !allowed.contains(*reg))
        return QStringLiteral("Acesso negado: %1 não está autorizado para a inscrição jurídica \"%2\".").arg(caller.describe(), *reg);
    return {};
}
} // namespace

WorkerPool::WorkerPool(const ServerConfig &config, std::shared_ptr<AuthoritySource> authority)
    : m_config(config), m_authority(std::move(authority))
{
    m_pool.setMaxThreadCount(std::max(1, config.workers));
}

WorkerPool::~WorkerPool() { m_pool.waitForDone(); }

std::unique_ptr<Store> WorkerPool::acquire()
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_idle.empty()) {
            std::unique_ptr<Store> s = std::move(m_idle.back());
            m_idle.pop_back();
            return s;
        }
    }
    return std::make_unique<Store>(m_config.storePath, m_config.busyTimeoutMs);
}

void WorkerPool::release(std::unique_ptr<Store> store)
{
    QMutexLocker lock(&m_mutex);
    m_idle.push_back(std::move(store));
}

QByteArray WorkerPool::answer(const QByteArray &payload, QString &log, const Caller &caller)
{
    QElapsedTimer t;
    t.start();
    wire::Reply reply;
    QString method = QStringLiteral("?");
    try {
        const wire::Request req = wire::decodeRequest(payload);
        method = req.method;
        std::unique_ptr<Store> store;
        try {
            store = acquire();
        } catch (const std::exception &e) {
            reply = failure(QStringLiteral("Armazenamento indisponível: %1").arg(QString::fromUtf8(e.what())));
        }
        if (store) {
            const QString denied = caller.anonymous() ? QString() : refusal(*store, caller, req);
            if (!denied.isEmpty()) {
                reply = failure(denied);
            } else {
                RemoteModule module(*store, *m_authority, m_config.uf);
                reply = module.call(req);
            }
            release(std::move(store));
        }
    } catch (const std::exception &e) {
        reply = failure(QStringLiteral("Pedido inválido: %1").arg(QString::fromUtf8(e.what())));
    }
    QByteArray out;
    QString result = outcome(reply);
    try {
        out = wire::encodeReplyFrame(std::move(reply)); // a large list is framed where it was built
    } catch (const std::exception &e) {
        reply = failure(QStringLiteral("Erro no servidor de aplicação: %1").arg(QString::fromUtf8(e.what())));
        result = outcome(reply);
        out = wire::encodeReplyFrame(reply);
    }
    if (quint64(out.size()) - 4 > m_config.maxFrame) {
        const qsizetype size = out.size() - 4;
        out.clear();
        reply = failure(QStringLiteral("A resposta de %1 bytes excede o limite de %2 bytes por mensagem do servidor.")
                            .arg(size).arg(m_config.maxFrame));
        result = outcome(reply);
        out = wire::encodeReplyFrame(reply);
    }
    log = QStringLiteral("%1 (%2) %3 ms %4").arg(method, caller.describe()).arg(t.elapsed()).arg(result);
    return out;
}

void WorkerPool::authenticate(QString token, std::function<void(std::optional<QString>, QString)> done)
{
    m_pool.start([this, token = std::move(token), done = std::move(done)]() mutable {
        std::optional<QString> name;
        QString failure;
        try {
            std::unique_ptr<Store> store = acquire();
            name = callers::tokenName(*store, token);
            release(std::move(store));
        } catch (const std::exception &e) {
            failure = QStringLiteral("Armazenamento indisponível: %1").arg(QString::fromUtf8(e.what()));
        }
        done(std::move(name), std::move(failure));
    });
}

void WorkerPool::submit(QByteArray payload, Caller caller, std::function<void(QByteArray, QString)> done)
{
    m_pool.start([this, payload = std::move(payload), caller = std::move(caller), done = std::move(done)]() mutable {
        QString log;
        QByteArray out = answer(payload, log, caller);
        payload = QByteArray(); // the request's bytes are not held while the reply travels
        done(std::move(out), std::move(log));
    });
}
