#include "CaptureSchedule.h"

namespace capture {

namespace {
QString stamp(const QDateTime &t) { return t.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")); }
QDateTime fromStamp(const QString &s) { return s.isEmpty() ? QDateTime() : QDateTime::fromString(s, Qt::ISODate); }

QList<Entry> entries(Statement &st)
{
    QList<Entry> out;
    while (st.step())
        out.append({st.text(0), st.text(1), fromStamp(st.text(2)), int(st.integer(3)), fromStamp(st.text(4)), st.text(5)});
    return out;
}
} // namespace

Next after(const Synchronization::Result &r, const QDateTime &now, int failures)
{
    using E = Synchronization::Ending;
    switch (r.ending) {
    case E::HeldOff:
        return {std::max(r.heldUntil, now).addSecs(kMarginSeconds), 0};
    case E::Done:
        return {now.addSecs(3600 + kMarginSeconds), 0};
    case E::More:
        return {now, 0};
    case E::Busy:
        return {now.addSecs(kFirstBackoffSeconds), failures};
    case E::Failed:
        break;
    }
    const int shift = std::min(failures, 6); // 2^6 minutes is past the hour already
    return {now.addSecs(std::min(kFirstBackoffSeconds << shift, kMaxBackoffSeconds)), failures + 1};
}

bool add(Store &store, const QString &registration, const QString &uf, const QDateTime &now)
{
    bool added = false;
    store.transaction([&] {
        Statement there(store, "SELECT 1 FROM captura WHERE nrinsjurpesq = ?");
        there.bind(1, registration);
        added = !there.step();
        there.reset();
        Statement(store, "INSERT INTO captura (nrinsjurpesq, uf, proxima) VALUES (?1, ?2, ?3)"
                         " ON CONFLICT (nrinsjurpesq) DO UPDATE SET uf = ?2")
            .bind(1, registration).bind(2, uf).bind(3, stamp(now)).run();
    });
    return added;
}

bool remove(Store &store, const QString &registration)
{
    bool removed = false;
    store.transaction([&] {
        Statement there(store, "SELECT 1 FROM captura WHERE nrinsjurpesq = ?");
        there.bind(1, registration);
        removed = there.step();
        there.reset();
        Statement(store, "DELETE FROM captura WHERE nrinsjurpesq = ?").bind(1, registration).run();
    });
    return removed;
}

QList<Entry> list(Store &store)
{
    Statement st(store, "SELECT nrinsjurpesq, uf, proxima, falhas, ultima, resultado FROM captura ORDER BY nrinsjurpesq");
    return entries(st);
}

QList<Entry> due(Store &store, const QDateTime &now)
{
    Statement st(store, "SELECT nrinsjurpesq, uf, proxima, falhas, ultima, resultado FROM captura"
                        " WHERE proxima <= ? ORDER BY proxima, nrinsjurpesq");
    st.bind(1, stamp(now));
    return entries(st);
}

std::optional<QDateTime> earliest(Store &store)
{
    Statement st(store, "SELECT MIN(proxima) FROM captura");
    if (!st.step() || st.isNull(0))
        return std::nullopt;
    return fromStamp(st.text(0));
}

void record(Store &store, const QString &registration, const QDateTime &started, const QString &result, const Next &next)
{
    store.transaction([&] {
        Statement(store, "UPDATE captura SET proxima = ?, falhas = ?, ultima = ?, resultado = ? WHERE nrinsjurpesq = ?")
            .bind(1, stamp(next.at)).bind(2, qint64(next.failures)).bind(3, stamp(started)).bind(4, result)
            .bind(5, registration).run();
    });
}

} // namespace capture
