#pragma once
// dfe-server: the network side serving the remote module over the store and an
// authority source.
#include "ServerConfig.h"
#include "authority/Authority.h"
#include "net/NetServer.h"
#include "net/ServerLog.h"

#include <memory>

class DfeServer : public NetServer {
public:
    DfeServer(const ServerConfig &config, std::shared_ptr<AuthoritySource> authority);
    static inline bool &quiet = ServerLog::quiet;
};
