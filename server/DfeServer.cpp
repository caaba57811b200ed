#include "DfeServer.h"
#include "RemoteHandler.h"

DfeServer::DfeServer(const ServerConfig &config, std::shared_ptr<AuthoritySource> authority)
    : NetServer(config, std::make_shared<RemoteHandler>(config, std::move(authority)))
{
}
