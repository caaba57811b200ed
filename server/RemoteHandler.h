#pragma once
// The network side's handler for dfe-server: checks that the caller may see the
// registration a call names, then runs the call on the remote module, each worker
// with a store connection of its own (kept for the next call).
#include "ServerConfig.h"
#include "authority/Authority.h"
#include "net/CallHandler.h"
#include "store/Store.h"

#include <QMutex>
#include <memory>
#include <vector>

class RemoteHandler : public CallHandler {
public:
    RemoteHandler(const ServerConfig &config, std::shared_ptr<AuthoritySource> authority);
    bool open(QString &error) override;
    wire::Reply handle(const wire::Request &request, const Caller &caller, const wire::FrameSink &early) override;
    std::optional<QString> tokenName(const QString &secret, QString &failure) override;
    QString outcome(const wire::Reply &reply) const override;

private:
    std::unique_ptr<Store> acquire();
    void release(std::unique_ptr<Store> store);
    ServerConfig m_config;
    std::shared_ptr<AuthoritySource> m_authority;
    QMutex m_mutex;
    std::vector<std::unique_ptr<Store>> m_idle;
};
