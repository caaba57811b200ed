#pragma once
// What the store keeps about each registration's conversation with the authority:
// when it may query again (the authority blocks a CNPJ for an hour on misuse), which run
// holds it right now, and which NSUs below the cursor it still lacks.
#include "Store.h"

#include <QDateTime>
#include <optional>
#include <vector>

namespace syncstate {

// When `registration` may query the authority again; invalid when it may now.
QDateTime blockedUntil(Store &store, const QString &registration, const QDateTime &now);
void block(Store &store, const QString &registration, const QDateTime &until, const QString &reason);

// NSUs from 1 to `cursor` with neither a document nor a no-document mark, lowest first.
std::vector<quint64> missingNsus(Store &store, const QString &registration, quint64 cursor, int limit);

// Which run holds a registration now and since when: only read by a second run that
// found the registration's lock taken, so a row left by a crash misleads nobody.
struct Running {
    QString origin;
    QDateTime since;
};
void markRunning(Store &store, const QString &registration, const QString &origin, const QDateTime &now);
void clearRunning(Store &store, const QString &registration) noexcept;
std::optional<Running> running(Store &store, const QString &registration);

} // namespace syncstate
