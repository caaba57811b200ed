#include "Engines.h"
#include "PgStore.h"
#include "SqliteStore.h"

namespace engines {

bool isPostgreSql(const QString &location)
{
    return location.startsWith(QLatin1String("postgresql://")) || location.startsWith(QLatin1String("postgres://"));
}

std::unique_ptr<StoreEngine> open(const QString &location, int busyTimeoutMs)
{
    if (isPostgreSql(location))
        return std::make_unique<PgStore>(location);
    return std::make_unique<SqliteStore>(location, busyTimeoutMs);
}

} // namespace engines
