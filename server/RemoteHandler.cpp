#include "RemoteHandler.h"
#include "Callers.h"
#include "RemoteModule.h"

namespace {
wire::Reply failure(const QString &why)
{
    wire::Reply r;
    r.ok = false;
    r.error = why;
    return r;
}
} // namespace

RemoteHandler::RemoteHandler(const ServerConfig &config, std::shared_ptr<AuthoritySource> authority)
    : m_config(config), m_authority(std::move(authority))
{
}

bool RemoteHandler::open(QString &error)
{
    try {
        Store check(m_config.storePath, m_config.busyTimeoutMs); // creates or upgrades the schema before any client
    } catch (const std::exception &e) {
        error = QStringLiteral("Não foi possível abrir o armazenamento %1: %2").arg(m_config.storePath, QString::fromUtf8(e.what()));
        return false;
    }
    return true;
}

std::unique_ptr<Store> RemoteHandler::acquire()
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

void RemoteHandler::release(std::unique_ptr<Store> store)
{
    QMutexLocker lock(&m_mutex);
    m_idle.push_back(std::move(store));
}

wire::Reply RemoteHandler::handle(const wire::Request &request, const Caller &caller, const wire::FrameSink &early)
{
    std::unique_ptr<Store> store;
    try {
        store = acquire();
    } catch (const std::exception &e) {
        return failure(QStringLiteral("Armazenamento indisponível: %1").arg(QString::fromUtf8(e.what())));
    }
    const QString denied = caller.anonymous() ? QString() : callers::refusal(*store, caller, request.method, request.args);
    wire::Reply reply;
    if (!denied.isEmpty()) {
        reply = failure(denied);
    } else {
        RemoteModule module(*store, *m_authority, m_config.uf);
        reply = module.call(request, early);
    }
    release(std::move(store));
    return reply;
}

std::optional<QString> RemoteHandler::tokenName(const QString &secret, QString &failure)
{
    try {
        std::unique_ptr<Store> store = acquire();
        std::optional<QString> name = callers::tokenName(*store, secret);
        release(std::move(store));
        return name;
    } catch (const std::exception &e) {
        failure = QStringLiteral("Armazenamento indisponível: %1").arg(QString::fromUtf8(e.what()));
        return std::nullopt;
    }
}

QString RemoteHandler::outcome(const wire::Reply &r) const
{
    if (!r.ok)
        return QStringLiteral("erro: ") + r.error;
    const QVariantList l = r.result.toList();
    if (l.size() == 2)
        return QStringLiteral("flag ") + l[0].toString() +
               (l[0].toString() == QLatin1String("S") ? QString() : QStringLiteral(": ") + l[1].toString());
    return QStringLiteral("ok");
}
