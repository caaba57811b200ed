#include "SyncState.h"

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

void markRunning(Store &store, const QString &registration, const QString &origin, const QDateTime &now)
{
    store.transaction([&] {
        Statement(store, "INSERT INTO sinc_andamento (nrinsjurpesq, origem, inicio) VALUES (?1, ?2, ?3)"
                         " ON CONFLICT (nrinsjurpesq) DO UPDATE SET origem = ?2, inicio = ?3")
            .bind(1, registration).bind(2, origin).bind(3, stamp(now)).run();
    });
}

void clearRunning(Store &store, const QString &registration) noexcept
{
    try {
        Statement(store, "DELETE FROM sinc_andamento WHERE nrinsjurpesq = ?").bind(1, registration).run();
    } catch (const StoreError &e) {
        qWarning("sincronização de %s: %s", qPrintable(registration), e.what());
    }
}

std::optional<Running> running(Store &store, const QString &registration)
{
    Statement st(store, "SELECT origem, inicio FROM sinc_andamento WHERE nrinsjurpesq = ?");
    st.bind(1, registration);
    if (!st.step())
        return std::nullopt;
    return Running{st.text(0), QDateTime::fromString(st.text(1), Qt::ISODate)};
}

} // namespace syncstate
