#pragma once
// dfe-server's settings: the network side's, and where the store is and how the
// methods call the authority.
#include "net/NetConfig.h"

#include <QString>

struct ServerConfig : NetConfig {
    QString storePath = QStringLiteral("dfe-server.sqlite");
    QString uf = QStringLiteral("35");
    int busyTimeoutMs = 10000; // wait for another writer of the store
    bool capture = true;       // the capture schedule (--no-capture turns it off)
    int logDays = 90;          // how long the synchronization log keeps a query
};
