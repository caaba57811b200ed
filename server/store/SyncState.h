#pragma once
// What the store keeps about each registration's conversation with the authority:
// when it may query again (the authority blocks a CNPJ for an hour on misuse), who is
// synchronizing it right now (one at a time, across threads and servers), and which
// NSUs below the cursor it still lacks.
#include "Store.h"

#include <QDateTime>
#include <vector>

namespace syncstate {

// When `registration` may query the authority again; invalid when it may now.
QDateTime blockedUntil(Store &store, const QString &registration, const QDateTime &now);
void block(Store &store, const QString &registration, const QDateTime &until, const QString &reason);

// NSUs from 1 to `cursor` with neither a document nor a no-document mark, lowest first.
std::vector<quint64> missingNsus(Store &store, const QString &registration, quint64 cursor, int limit);

// Holds a registration for one synchronization. A holder that dies loses it when
// the lease runs out, so a crash never blocks a registration for good.
class Lease {
public:
    static constexpr int kSeconds = 15 * 60;
    Lease(Store &store, QString registration, const QDateTime &now);
    ~Lease();
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;
    bool acquired() const { return m_acquired; }
    void renew(const QDateTime &now);

private:
    Store &m_store;
    QString m_registration, m_owner;
    bool m_acquired = false;
};

} // namespace syncstate
