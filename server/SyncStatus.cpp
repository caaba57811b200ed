#include "SyncStatus.h"
#include "CaptureSchedule.h"
#include "Envelope.h"
#include "store/SyncLog.h"
#include "store/SyncState.h"

namespace syncstatus {

namespace {
// Brasília time, as the other answers write it; empty when there is none.
QString localTime(const QDateTime &t)
{
    return t.isValid() ? t.toOffsetFromUtc(-3 * 3600).toString(QStringLiteral("dd/MM/yyyy HH:mm")) : QString();
}

QVariantList pair(const char *name, const QVariant &value) { return {QString::fromLatin1(name), value}; }

quint64 cursorOf(Store &store, const QString &registration)
{
    Statement st(store, "SELECT ultnsu FROM cursor_nsu WHERE nrinsjurpesq = ?");
    st.bind(1, registration);
    return st.step() ? st.text(0).toULongLong() : 0;
}

synclog::Entry lastQuery(Store &store, const QString &registration)
{
    Statement st(store, "SELECT MAX(momento) FROM sinc_log WHERE nrinsjurpesq = ?");
    st.bind(1, registration);
    if (!st.step() || st.isNull(0))
        return {};
    return synclog::since(store, registration, QDateTime::fromString(st.text(0), Qt::ISODateWithMs)).value(0);
}

QString answerOf(const synclog::Entry &e)
{
    if (!e.at.isValid())
        return {};
    return e.cStat.isEmpty() ? e.xMotivo : e.cStat + QStringLiteral(" - ") + e.xMotivo;
}

QDateTime nextCapture(Store &store, const QString &registration)
{
    for (const capture::Entry &e : capture::list(store))
        if (e.registration == registration)
            return e.next;
    return {};
}
} // namespace

QVariantList state(Store &store, const QString &registration, const QDateTime &now, const QDateTime &certificateExpiry)
{
    const synclog::Entry last = lastQuery(store, registration);
    qint64 lastDay = 0;
    for (const synclog::Entry &e : synclog::since(store, registration, now.addDays(-1)))
        lastDay += e.documents;
    const QDateTime blocked = syncstate::blockedUntil(store, registration, now);
    const size_t gaps = syncstate::missingNsus(store, registration, cursorOf(store, registration), 100000).size();
    return envelope(QStringLiteral("S"),
                    QVariantList{pair("ultima_sincronizacao", localTime(last.at)), pair("resultado", answerOf(last)),
                                 pair("proxima_consulta", localTime(blocked.isValid() ? blocked : now)),
                                 pair("documentos_24h", lastDay), pair("lacunas_nsu", qint64(gaps)),
                                 pair("proxima_captura", localTime(nextCapture(store, registration))),
                                 pair("validade_certificado", certificateExpiry.isValid()
                                                                  ? certificateExpiry.toOffsetFromUtc(-3 * 3600).toString(QStringLiteral("dd/MM/yyyy"))
                                                                  : QString())});
}

} // namespace syncstatus
