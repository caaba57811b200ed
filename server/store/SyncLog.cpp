#include "SyncLog.h"

namespace synclog {

namespace {
QString stamp(const QDateTime &t) { return t.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ")); }
} // namespace

void record(Store &store, const Entry &e) noexcept
{
    try {
        Statement(store, "INSERT INTO sinc_log (momento, nrinsjurpesq, consulta, nsu, cstat, xmotivo, ultnsu, maxnsu,"
                         " documentos, duracao_ms, origem) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
            .bind(1, stamp(e.at)).bind(2, e.registration).bind(3, e.query).bind(4, e.nsu).bind(5, e.cStat)
            .bind(6, e.xMotivo).bind(7, e.ultNSU).bind(8, e.maxNSU).bind(9, qint64(e.documents))
            .bind(10, e.durationMs).bind(11, e.origin).run();
    } catch (const StoreError &err) {
        qWarning("registro da consulta de %s: %s", qPrintable(e.registration), err.what());
    }
}

int purge(Store &store, const QDateTime &before)
{
    Statement count(store, "SELECT COUNT(*) FROM sinc_log WHERE momento < ?");
    count.bind(1, stamp(before));
    const int n = count.step() ? int(count.integer(0)) : 0;
    count.reset();
    if (n > 0)
        Statement(store, "DELETE FROM sinc_log WHERE momento < ?").bind(1, stamp(before)).run();
    return n;
}

QList<Entry> since(Store &store, const QString &registration, const QDateTime &from)
{
    Statement st(store, "SELECT momento, consulta, nsu, cstat, xmotivo, ultnsu, maxnsu, documentos, duracao_ms, origem"
                        " FROM sinc_log WHERE nrinsjurpesq = ? AND momento >= ? ORDER BY momento");
    st.bind(1, registration).bind(2, stamp(from));
    QList<Entry> out;
    while (st.step())
        out.append({QDateTime::fromString(st.text(0), Qt::ISODateWithMs), registration, st.text(1), st.text(2), st.text(3),
                    st.text(4), st.text(5), st.text(6), int(st.integer(7)), st.integer(8), st.text(9)});
    return out;
}

} // namespace synclog
