#include "Synchronization.h"
#include "CertificateValidity.h"
#include "CteList.h"
#include "Envelope.h"
#include "Fiscal.h"
#include "store/RegistrationLock.h"
#include "store/SyncLog.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSet>

namespace {
// New and changed rows get their list encoding with the page that brought them.
constexpr qsizetype kEncodedPerPage = 4096;
const QString kNextQuery = QStringLiteral("Nova consulta à SEFAZ permitida a partir de %1.");

QString localTime(const QDateTime &t) { return t.toOffsetFromUtc(-3 * 3600).toString(QStringLiteral("dd/MM/yyyy HH:mm")); }

QVariantList queryFailed(const std::exception &e)
{
    return refused(QStringLiteral("Falha na consulta à SEFAZ: %1").arg(QString::fromUtf8(e.what())));
}
} // namespace

Synchronization::Synchronization(Store &store, AuthoritySource &authority, QString ufAutor, Clock clock)
    : m_store(store), m_authority(authority), m_uf(std::move(ufAutor)), m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] { return QDateTime::currentDateTimeUtc(); };
}

QVariantList Synchronization::run(const QString &registration, const QString &origin)
{
    m_reg = registration;
    m_origin = origin;
    m_added = 0;
    m_result = {};
    if (const QString expired = certificate::expired(m_authority.certificateExpiry(), m_clock()); !expired.isEmpty())
        return refused(expired);
    {
        const RegistrationLock one(m_reg, false);
        if (one.held()) {
            const Store::RegistrationLock lock(m_store, m_reg, false);
            if (lock.held())
                return runLocked();
        }
    }
    if (std::optional<QVariantList> answer = busy())
        return *answer;
    // Another manual run: this one waits for it and reads the cursor after it, so no NSU
    // range is asked for twice (and its hold-off, if any, answers this one).
    const RegistrationLock one(m_reg);
    const Store::RegistrationLock lock(m_store, m_reg);
    return runLocked();
}

// The answer to a run that found the registration held, when it should not wait: a
// scheduled run leaves it to the holder; any run gives way to a scheduled one.
std::optional<QVariantList> Synchronization::busy()
{
    const std::optional<syncstate::Running> holder = syncstate::running(m_store, m_reg);
    if (m_origin == kScheduled) {
        m_result.ending = Ending::Busy;
        return refused(QStringLiteral("Outra sincronização da inscrição %1 está em andamento.").arg(m_reg));
    }
    if (!holder || holder->origin != kScheduled)
        return std::nullopt;
    m_result.ending = Ending::Busy;
    return refused(QStringLiteral("A sincronização agendada da inscrição %1 está em andamento desde %2.")
                       .arg(m_reg, localTime(holder->since)));
}

QVariantList Synchronization::runLocked()
{
    m_now = m_clock();
    if (const QDateTime until = syncstate::blockedUntil(m_store, m_reg, m_now); until.isValid()) {
        m_result = {Ending::HeldOff, until};
        return refused(kNextQuery.arg(localTime(until)));
    }
    syncstate::markRunning(m_store, m_reg, m_origin, m_now);
    const auto clear = qScopeGuard([this] { syncstate::clearRunning(m_store, m_reg); });
    m_result.ending = Ending::Failed; // until the run says otherwise
    return runHeld();
}

QVariantList Synchronization::runHeld()
{
    m_ult = cursor();
    const QDate today = m_now.toOffsetFromUtc(-3 * 3600).date();
    m_day = {today.toString(QStringLiteral("dd/MM/yyyy")), today.toString(Qt::ISODate)};
    if (Outcome stop = repairGaps())
        return *stop;
    QString ending;
    if (Outcome stop = pageFromCursor(ending))
        return *stop;
    if (const QString warning = certificate::ending(m_authority.certificateExpiry(), m_now); !warning.isEmpty())
        ending += QLatin1Char(' ') + warning;
    return envelope(QStringLiteral("S"), QStringLiteral("Sincronização concluída: %1 documento(s) recebido(s).%2").arg(m_added).arg(ending));
}

QString Synchronization::cursor()
{
    Statement st(m_store, "SELECT ultnsu FROM cursor_nsu WHERE nrinsjurpesq = ?");
    st.bind(1, m_reg);
    return st.step() ? st.text(0) : dist::nsuText(0);
}

dist::Answer Synchronization::ask(dist::Query q)
{
    q.tpAmb = m_authority.tpAmb();
    q.cUFAutor = m_uf;
    q.registration = m_reg;
    synclog::Entry e;
    e.at = m_clock();
    e.registration = m_reg;
    e.query = q.nsu.isEmpty() ? QStringLiteral("distNSU") : QStringLiteral("consNSU");
    e.nsu = q.nsu.isEmpty() ? q.ultNSU : q.nsu;
    e.origin = m_origin;
    QElapsedTimer took;
    took.start();
    try {
        const dist::Answer a = dist::readAnswer(m_authority.distDFeInt(dist::request(q)));
        e.cStat = a.cStat;
        e.xMotivo = a.xMotivo;
        e.ultNSU = a.ultNSU;
        e.maxNSU = a.maxNSU;
        e.documents = int(a.docs.size());
        e.durationMs = took.elapsed();
        synclog::record(m_store, e);
        return a;
    } catch (const std::exception &err) {
        e.xMotivo = QString::fromUtf8(err.what());
        e.durationMs = took.elapsed();
        synclog::record(m_store, e);
        throw;
    }
}

// Misuse (656) and nothing new (137) both mean: no query for this registration within the hour.
QString Synchronization::holdOff(const dist::Answer &a)
{
    const QDateTime until = m_now.addSecs(3600);
    m_result = {Ending::HeldOff, until};
    syncstate::block(m_store, m_reg, until, QStringLiteral("%1 - %2").arg(a.cStat, a.xMotivo));
    return kNextQuery.arg(localTime(until));
}

// The end of the synchronization for an answer that is neither 137 nor 138. The cursor
// and the stored maxNSU stay as they were (a 656 may carry maxNSU 0).
Synchronization::Outcome Synchronization::refusal(const dist::Answer &a)
{
    if (a.cStat == QLatin1String("656"))
        return refused(QStringLiteral("%1 - %2. %3").arg(a.cStat, a.xMotivo, holdOff(a)));
    if (a.cStat != QLatin1String("137") && a.cStat != QLatin1String("138"))
        return refused(QStringLiteral("%1 - %2").arg(a.cStat, a.xMotivo));
    return std::nullopt;
}

// NSUs below the cursor that this store never received (another system may have taken
// them), one by one.
Synchronization::Outcome Synchronization::repairGaps()
{
    for (const quint64 n : syncstate::missingNsus(m_store, m_reg, m_ult.toULongLong(), kGapRepairPerRun)) {
        dist::Answer a;
        dist::Query q;
        q.nsu = dist::nsuText(n);
        try {
            a = ask(q);
        } catch (const std::exception &e) {
            return queryFailed(e);
        }
        if (Outcome stop = refusal(a))
            return stop;
        m_store.transaction([&] {
            bool stored = false;
            for (const dist::DocZip &d : a.docs)
                if (d.nsu.toULongLong() == n) {
                    intake::storeDocument(m_store, m_reg, dist::nsuText(n), d.schema, d.content, m_day);
                    stored = true;
                    ++m_added;
                }
            if (!stored)
                intake::EmptyMarks(m_store, m_reg, m_day).mark(dist::nsuText(n));
            ctelist::encodeRows(m_store, m_reg, kEncodedPerPage);
        });
    }
    return std::nullopt;
}

Synchronization::Outcome Synchronization::pageFromCursor(QString &ending)
{
    for (int page = 0; page < 10000; ++page) {
        dist::Answer a;
        dist::Query q;
        q.ultNSU = m_ult;
        try {
            a = ask(q);
        } catch (const std::exception &e) {
            return queryFailed(e);
        }
        // The stored maxNSU is what the next run and the state method go by.
        if ((a.cStat == QLatin1String("137") || a.cStat == QLatin1String("138")) &&
            (a.maxNSU.size() != 15 || !fiscal::allDigits(a.maxNSU)))
            return refused(QStringLiteral("A SEFAZ respondeu com um maxNSU inválido (%1).").arg(a.maxNSU));
        if (a.cStat == QLatin1String("137")) {
            m_store.transaction([&] {
                Statement(m_store, "INSERT INTO cursor_nsu (nrinsjurpesq, ultnsu, maxnsu, dtultsinc, origem)"
                                   " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (nrinsjurpesq) DO UPDATE SET"
                                   " maxnsu = ?3, dtultsinc = ?4, origem = ?5")
                    .bind(1, m_reg).bind(2, m_ult).bind(3, a.maxNSU).bind(4, m_day.iso).bind(5, m_origin).run();
            });
            ending = QLatin1Char(' ') + holdOff(a);
            return std::nullopt;
        }
        if (Outcome stop = refusal(a))
            return stop;
        const quint64 from = m_ult.toULongLong();
        const quint64 to = a.ultNSU.toULongLong();
        if (a.ultNSU.size() != 15 || !fiscal::allDigits(a.ultNSU) || to <= from)
            return refused(QStringLiteral("A SEFAZ respondeu com um ultNSU inválido (%1).").arg(a.ultNSU));
        storePage(a, from, to);
        m_ult = a.ultNSU;
        if (a.maxNSU.toULongLong() <= to) {
            m_result.ending = Ending::Done;
            return std::nullopt;
        }
    }
    m_result.ending = Ending::More;
    return std::nullopt;
}

// One page's documents, the NSUs it skipped (they hold no document) and the cursor after it.
void Synchronization::storePage(const dist::Answer &a, quint64 from, quint64 to)
{
    m_store.transaction([&] {
        QSet<quint64> seen;
        for (const dist::DocZip &d : a.docs) {
            const quint64 n = d.nsu.toULongLong();
            if (n <= from || n > to)
                continue;
            seen.insert(n);
            intake::storeDocument(m_store, m_reg, dist::nsuText(n), d.schema, d.content, m_day);
            ++m_added;
        }
        intake::EmptyMarks empty(m_store, m_reg, m_day);
        for (quint64 n = from + 1; n <= to && n <= from + 1000; ++n)
            if (!seen.contains(n))
                empty.mark(dist::nsuText(n));
        Statement(m_store, "INSERT INTO cursor_nsu (nrinsjurpesq, ultnsu, maxnsu, dtultsinc, origem)"
                           " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (nrinsjurpesq) DO UPDATE SET"
                           " ultnsu = CASE WHEN cursor_nsu.ultnsu > ?2 THEN cursor_nsu.ultnsu ELSE ?2 END, maxnsu = ?3, dtultsinc = ?4, origem = ?5")
            .bind(1, m_reg).bind(2, a.ultNSU).bind(3, a.maxNSU).bind(4, m_day.iso).bind(5, m_origin).run();
        ctelist::encodeRows(m_store, m_reg, kEncodedPerPage);
    });
}
