#include "DisagreementEvent.h"
#include "CertificateValidity.h"
#include "CteList.h"
#include "DocumentIntake.h"
#include "Envelope.h"
#include "Fiscal.h"
#include "authority/Xml.h"
#include "store/RegistrationLock.h"

#include <QSet>

namespace {
const QString kAnswer = QStringLiteral("retEventoCTe/infEvento/");
} // namespace

DisagreementEvent::DisagreementEvent(Store &store, AuthoritySource &authority, Clock clock)
    : m_store(store), m_authority(authority), m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] { return QDateTime::currentDateTimeUtc(); };
}

QString DisagreementEvent::reason(const QString &typed, QString &error)
{
    const QString r = fiscal::plainReason(typed);
    if (const std::optional<char32_t> c = fiscal::refusedReasonChar(r)) {
        error = QStringLiteral("O motivo contém um caractere que a SEFAZ não aceita: %1.").arg(fiscal::describeChar(*c));
        return {};
    }
    return r;
}

// Why the event may not be registered on this CT-e, or empty.
QString DisagreementEvent::ineligible(const QString &key, const QString &registration)
{
    Statement st(m_store, "SELECT cdstatus FROM cte WHERE nrinsjurpesq = ? AND nracessocte = ?");
    st.bind(1, registration).bind(2, key);
    if (!st.step())
        return QStringLiteral("CT-e %1 não encontrado para a inscrição jurídica %2.").arg(key, registration);
    const QString status = st.text(0);
    if (status == QLatin1String("000"))
        return QStringLiteral("Evento de Prestação de Serviço em Desacordo já registrado para esse CT-e.");
    if (status == QLatin1String("101"))
        return QStringLiteral("CT-e cancelado: o evento não pode ser registrado.");
    return {};
}

// The authority numbers the events of one type on one CT-e, whoever registered them:
// the next one follows the highest known. One event may be kept for several
// registrations (counted once, by its protocol), and its sequence is read from its XML.
qint64 DisagreementEvent::kept(const QString &key)
{
    Statement st(m_store, "SELECT nprot, xml FROM evento WHERE nracessocte = ? AND tpevento = '610110'");
    st.bind(1, key);
    QSet<QString> protocols;
    qint64 highest = 0;
    while (st.step()) {
        protocols << st.text(0);
        try {
            highest = std::max<qint64>(highest, xmlutil::leaves(st.blob(1)).value(
                                                    QStringLiteral("procEventoCTe/eventoCTe/infEvento/nSeqEvento")).toLongLong());
        } catch (const std::runtime_error &) {
            // An event kept without readable XML still counts through its protocol.
        }
    }
    return std::max<qint64>(highest, protocols.size());
}

QVariantList DisagreementEvent::record(const QString &key, const QString &registration, const QString &reason)
{
    if (const QString expired = certificate::expired(m_authority.certificateExpiry(), m_clock()); !expired.isEmpty())
        return refused(expired);
    // Two events for one CT-e at once would take the same sequence number: the second
    // waits and then finds the first one registered, also when another server on the
    // same store sent the first.
    const RegistrationLock oneEvent(QStringLiteral("evento ") + key);
    const Store::RegistrationLock acrossServers(m_store, QStringLiteral("evento ") + key);
    if (const QString why = ineligible(key, registration); !why.isEmpty())
        return refused(why);
    const qint64 before = kept(key);
    if (before >= 99)
        return refused(QStringLiteral("CT-e %1 já tem 99 eventos de Prestação do Serviço em Desacordo.").arg(key));
    evento::Disagreement d;
    d.key = key;
    d.tpAmb = m_authority.tpAmb();
    d.author = registration;
    d.at = m_clock();
    d.sequence = int(before) + 1;
    d.reason = reason;
    return send(d);
}

QVariantList DisagreementEvent::send(const evento::Disagreement &d)
{
    QHash<QString, QString> v;
    QByteArray sent, answer;
    try {
        sent = m_authority.prepareEvent(d);
        answer = m_authority.eventoCTe(sent);
        v = xmlutil::leaves(answer);
    } catch (const std::exception &e) {
        return refused(QStringLiteral("Falha no envio do evento à SEFAZ: %1").arg(QString::fromUtf8(e.what())));
    }
    const QString cStat = v.value(kAnswer + QStringLiteral("cStat"));
    if (cStat.isEmpty())
        return refused(QStringLiteral("Falha no envio do evento à SEFAZ: a resposta não é um retEventoCTe."));
    // 135 registered and linked, 136 registered without link, 134 linked with a warning.
    if (cStat != QLatin1String("135") && cStat != QLatin1String("134") && cStat != QLatin1String("136"))
        return refused(QStringLiteral("%1 - %2").arg(cStat, v.value(kAnswer + QStringLiteral("xMotivo"))));
    store(d, sent, answer, v);
    return envelope(QStringLiteral("S"), QStringLiteral("Evento registrado. Protocolo %1.").arg(v.value(kAnswer + QStringLiteral("nProt"))));
}

// The event as sent with the answer as received, and the CT-e's new status, in one transaction.
void DisagreementEvent::store(const evento::Disagreement &d, const QByteArray &sent, const QByteArray &answer,
                              const QHash<QString, QString> &v)
{
    const QString prot = v.value(kAnswer + QStringLiteral("nProt"));
    m_store.transaction([&] {
        Statement(m_store, "INSERT INTO evento (nrinsjurpesq, nrnsu, nracessocte, tpevento, nprot, dhregevento, xml)"
                           " VALUES (?, NULL, ?, ?, ?, ?, ?)")
            .bind(1, d.author).bind(2, d.key).bind(3, d.type).bind(4, prot)
            .bind(5, v.value(kAnswer + QStringLiteral("dhRegEvento"))).bind(6, evento::proc(sent, answer)).run();
        intake::refreshStatus(m_store, d.author, d.key);
        ctelist::encodeRows(m_store, d.author, 64);
    });
}

// The registration's own disagreement still standing on the CT-e: its protocol, or empty.
QString DisagreementEvent::standing(const QString &key, const QString &registration)
{
    QStringList open;
    QSet<QString> undone;
    Statement st(m_store, "SELECT tpevento, nprot, xml FROM evento WHERE nrinsjurpesq = ? AND nracessocte = ?"
                          " AND tpevento IN ('610110', '610111') ORDER BY dhregevento");
    st.bind(1, registration).bind(2, key);
    while (st.step()) {
        if (st.text(0) == QLatin1String(evento::kType))
            open << st.text(1);
        else
            undone << xmlutil::leaves(st.blob(2)).value(
                QStringLiteral("procEventoCTe/eventoCTe/infEvento/detEvento/evCancPrestDesacordo/nProtEvPrestDes"));
    }
    open.removeIf([&](const QString &prot) { return undone.contains(prot); });
    return open.isEmpty() ? QString() : open.last();
}

QVariantList DisagreementEvent::undo(const QString &key, const QString &registration)
{
    if (const QString expired = certificate::expired(m_authority.certificateExpiry(), m_clock()); !expired.isEmpty())
        return refused(expired);
    const RegistrationLock oneEvent(QStringLiteral("evento ") + key);
    const Store::RegistrationLock acrossServers(m_store, QStringLiteral("evento ") + key);
    Statement st(m_store, "SELECT cdstatus FROM cte WHERE nrinsjurpesq = ? AND nracessocte = ?");
    st.bind(1, registration).bind(2, key);
    if (!st.step())
        return refused(QStringLiteral("CT-e %1 não encontrado para a inscrição jurídica %2.").arg(key, registration));
    const QString protocol = standing(key, registration);
    if (st.text(0) != QLatin1String("000") || protocol.isEmpty())
        return refused(QStringLiteral("Evento de Prestação de Serviço em Desacordo não registrado para esse CT-e."));
    Statement seq(m_store, "SELECT COUNT(DISTINCT nprot) FROM evento WHERE nracessocte = ? AND tpevento = '610111'");
    seq.bind(1, key);
    evento::Disagreement d;
    d.type = QString::fromLatin1(evento::kUndoType);
    d.disagreementProtocol = protocol;
    d.key = key;
    d.tpAmb = m_authority.tpAmb();
    d.author = registration;
    d.at = m_clock();
    d.sequence = int(seq.step() ? seq.integer(0) : 0) + 1;
    return send(d);
}
