#include "SyncState.h"

#include <QUuid>

namespace syncstate {

namespace {
QString stamp(const QDateTime &t) { return t.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")); }
} // namespace

QDateTime blockedUntil(Store &store, const QString &registration, const QDateTime &now)
{
    Statement st(store, "SELECT liberado_em FROM consulta_bloqueio WHERE nrinsjurpesq = ? AND liberado_em > ?");
    st.bind(1, registration).bind(2, stamp(now));
    if (!st.step())
        return {};
    return QDateTime::fromString(st.text(0), Qt::ISODate); // written with its "Z"
}

void block(Store &store, const QString &registration, const QDateTime &until, const QString &reason)
{
    store.transaction([&] {
        Statement(store, "INSERT INTO consulta_bloqueio (nrinsjurpesq, liberado_em, motivo) VALUES (?1, ?2, ?3)"
                              " ON CONFLICT (nrinsjurpesq) DO UPDATE SET liberado_em = ?2, motivo = ?3")
            .bind(1, registration).bind(2, stamp(until)).bind(3, reason).run();
    });
}

std::vector<quint64> missingNsus(Store &store, const QString &registration, quint64 cursor, int limit)
{
    // Holes between stored NSUs, and after the last one up to the cursor.
    Statement st(store,
                 "WITH s(n) AS (SELECT CAST(nrnsu AS BIGINT) FROM cte WHERE nrinsjurpesq = ?1"
                 " UNION SELECT CAST(nrnsu AS BIGINT) FROM evento WHERE nrinsjurpesq = ?1 AND nrnsu IS NOT NULL"
                 " UNION SELECT CAST(nrnsu AS BIGINT) FROM doc_bruto WHERE nrinsjurpesq = ?1),"
                 " o(n, prev) AS (SELECT n, LAG(n, 1, 0) OVER (ORDER BY n) FROM s WHERE n BETWEEN 1 AND ?2)"
                 " SELECT prev + 1, n - 1 FROM o WHERE n > prev + 1"
                 " UNION ALL SELECT COALESCE(MAX(n), 0) + 1, ?2 FROM s WHERE n BETWEEN 1 AND ?2"
                 " HAVING COALESCE(MAX(n), 0) < ?2"
                 " ORDER BY 1");
    st.bind(1, registration).bind(2, qint64(cursor));
    std::vector<quint64> out;
    while (int(out.size()) < limit && st.step())
        for (qint64 n = st.integer(0); n <= st.integer(1) && int(out.size()) < limit; ++n)
            out.push_back(quint64(n));
    return out;
}

Lease::Lease(Store &store, QString registration, const QDateTime &now)
    : m_store(store), m_registration(std::move(registration)), m_owner(QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    m_store.transaction([&] {
        Statement held(m_store, "SELECT 1 FROM sinc_em_andamento WHERE nrinsjurpesq = ? AND expira_em > ?");
        held.bind(1, m_registration).bind(2, stamp(now));
        if (held.step())
            return;
        Statement(m_store, "INSERT INTO sinc_em_andamento (nrinsjurpesq, dono, expira_em) VALUES (?1, ?2, ?3)"
                                " ON CONFLICT (nrinsjurpesq) DO UPDATE SET dono = ?2, expira_em = ?3")
            .bind(1, m_registration).bind(2, m_owner).bind(3, stamp(now.addSecs(kSeconds))).run();
        m_acquired = true;
    });
}

Lease::~Lease()
{
    if (!m_acquired)
        return;
    try {
        Statement(m_store, "DELETE FROM sinc_em_andamento WHERE nrinsjurpesq = ? AND dono = ?")
            .bind(1, m_registration).bind(2, m_owner).run();
    } catch (const StoreError &e) {
        qWarning("liberar a sincronização de %s: %s", qPrintable(m_registration), e.what());
    }
}

void Lease::renew(const QDateTime &now)
{
    Statement(m_store, "UPDATE sinc_em_andamento SET expira_em = ? WHERE nrinsjurpesq = ? AND dono = ?")
        .bind(1, stamp(now.addSecs(kSeconds))).bind(2, m_registration).bind(3, m_owner).run();
}

} // namespace syncstate
