#pragma once
// Opens the engine a store location names: a PostgreSQL address, or else a SQLite file.
#include "StoreEngine.h"

#include <QString>
#include <memory>

namespace engines {

bool isPostgreSql(const QString &location); // postgresql://... or postgres://...
std::unique_ptr<StoreEngine> open(const QString &location, int busyTimeoutMs);

} // namespace engines
