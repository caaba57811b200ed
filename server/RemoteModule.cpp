#include "RemoteModule.h"
#include "authority/DistMessages.h"
#include "authority/EventMessages.h"
#include "Fiscal.h"
#include "store/SyncState.h"
#include "Packet.h"
#include "store/RegistrationLock.h"
#include "authority/Xml.h"

#include <QSet>

namespace {
QVariantList envelope(const QString &flag, const QVariant &payload) { return QVariantList{flag, payload}; }

void argCount(const QVariantList &args, int n, const char *method)
{
    if (args.size() != n)
        throw CallError(QStringLiteral("%1 espera %2 argumentos, recebeu %3")
                            .arg(QString::fromLatin1(method)).arg(n).arg(args.size()).toStdString());
}

QString text(const QVariantList &args, int i)
{
    const QVariant &v = args[i];
    if (v.metaType().id() == QMetaType::QString)
        return v.toString();
    if (v.metaType().id() == QMetaType::Nullptr)
        return {};
    throw CallError("o argumento " + std::to_string(i + 1) + " deve ser texto");
}

QDate date(const QVariantList &args, int i)
{
    const QVariant &v = args[i];
    if (v.metaType().id() == QMetaType::QDate)
        return v.toDate();
    if (v.metaType().id() == QMetaType::Nullptr)
        return {};
    throw CallError("o argumento " + std::to_string(i + 1) + " deve ser uma data");
}

// The status list as the one string the query matches against: each distinct code once.
QString statusCodes(const QString &list)
{
    const QString t = list.trimmed();
    if (t.isEmpty() || t == QLatin1String("T"))
        return QStringLiteral("T");
    QSet<QStringView> codes;
    for (QStringView code : QStringView(t).split(u'_', Qt::SkipEmptyParts))
        codes.insert(code);
    QString out = QStringLiteral("_");
    for (QStringView code : std::as_const(codes))
        out += code.toString() + QLatin1Char('_');
    return out;
}

// The reason of the disagreement event as the authority takes it (folded to plain forms,
// one line, trimmed); empty with `error` set when a character would still be refused.
QString eventReason(const QString &typed, QString &error)
{
    const QString r = fiscal::plainReason(typed);
    // refusedReasonChar answers 0 for "none", so a NUL is looked for on its own.
    const bool nul = r.contains(QChar(0));
    if (const char32_t c = nul ? U'\0' : fiscal::refusedReasonChar(r); nul || c) {
        error = QStringLiteral("O motivo contém um caractere que a SEFAZ não aceita: %1.").arg(fiscal::describeChar(c));
        return {};
    }
    return r;
}

// The list tells the kinds apart in its status text: a CT-e OS, GTV-e or CT-e Simplificado says so.
QString statusText(const xmlutil::CteFields &f)
{
    const QString motive = f.xMotivo.isEmpty() ? QStringLiteral("Autorizado o uso do CT-e") : f.xMotivo;
    return (f.kind == QLatin1String("CT-e") ? motive : f.kind + QStringLiteral(" - ") + motive).left(255);
}

QString localTime(const QDateTime &t) { return t.toOffsetFromUtc(-3 * 3600).toString(QStringLiteral("dd/MM/yyyy HH:mm")); }

// The company certificate: an expired one stops the call before it is made, one that
// ends within 30 days is told about. Empty when there is nothing to say.
QString certificateExpired(const QDateTime &expiry, const QDateTime &now)
{
    if (!expiry.isValid() || now <= expiry)
        return {};
    return QStringLiteral("O certificado digital da empresa venceu em %1: nenhuma chamada à SEFAZ foi feita.").arg(localTime(expiry));
}
QString certificateEnding(const QDateTime &expiry, const QDateTime &now)
{
    if (!expiry.isValid() || now > expiry || now.addDays(30) < expiry)
        return {};
    const QString text = QStringLiteral("Atenção: o certificado digital da empresa vence em %1.").arg(localTime(expiry));
    qWarning("%s", qPrintable(text));
    return text;
}

// consNSU calls per synchronization: each counts against the authority's limits.
constexpr int kGapRepairPerRun = 20;

const char kSelectList[] =
    "SELECT nrinsjurpesq, nrnsu, idtpambiente, nracessocte, nrinsjuremit, nmrazsocemit, nrinsjurreme, nmrazsocreme,"
    " nrinsjurexpe, nmrazsocexpe, nrinsjurrece, nmrazsocrece, nrinsjurdest, nmrazsocdest, idtomador, nrinsjurtoma,"
    " nmrazsoctoma, dtemissao, vrtotalprest, vrreceber, cdstatus, dsstatus, dtsincronizacao FROM cte"
    " WHERE nrinsjurpesq = ?1"
    " AND (dtemissao_iso = '' OR ((?2 IS NULL OR dtemissao_iso >= ?2) AND (?3 IS NULL OR dtemissao_iso <= ?3)))"
    " AND (?4 IS NULL OR dtsinc_iso >= ?4) AND (?5 IS NULL OR dtsinc_iso <= ?5)"
    " AND (?6 = 'T' OR ?6 LIKE ('%\\_' || cdstatus || '\\_%') ESCAPE '\\')"
    " ORDER BY nrnsu";
} // namespace

RemoteModule::RemoteModule(Store &store, AuthoritySource &authority, QString ufAutor, Clock clock)
    : m_store(store), m_authority(authority), m_uf(std::move(ufAutor)), m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] { return QDateTime::currentDateTimeUtc(); };
}

QString RemoteModule::nsuText(quint64 n) { return QStringLiteral("%1").arg(n, 15, 10, QLatin1Char('0')); }

wire::Reply RemoteModule::call(const wire::Request &request)
{
    wire::Reply reply;
    try {
        if (request.server != QLatin1String(wire::kServerName))
            throw CallError("servidor desconhecido: " + request.server.toStdString());
        QVariantList args = request.args;
        if (request.method == QLatin1String("GetSincronizacaoCTe")) reply.result = GetSincronizacaoCTe(args);
        else if (request.method == QLatin1String("SincronizarCTe")) reply.result = SincronizarCTe(args);
        else if (request.method == QLatin1String("DownloadXML")) reply.result = DownloadXML(args);
        else if (request.method == QLatin1String("RecusaCTe")) reply.result = RecusaCTe(args);
        else throw CallError("método desconhecido: " + request.method.toStdString());
        reply.args = args;
    } catch (const CallError &e) {
        reply.ok = false;
        reply.error = QString::fromUtf8(e.what());
    } catch (const std::exception &e) {
        reply.ok = false;
        reply.error = QStringLiteral("Erro no servidor de aplicação: %1").arg(QString::fromUtf8(e.what()));
    }
    return reply;
}

QVariant RemoteModule::GetSincronizacaoCTe(QVariantList &args)
{
    argCount(args, 6, "GetSincronizacaoCTe");
    const QDate emIni = date(args, 0), emFim = date(args, 1);
    const QString reg = fiscal::normalRegistration(text(args, 2));
    const QString status = statusCodes(text(args, 3));
    const QDate sincIni = date(args, 4), sincFim = date(args, 5);
    if (reg.isEmpty())
        return envelope(QStringLiteral("N"), QStringLiteral("Inscrição jurídica deve ser informada."));

    static const std::vector<wire::PacketField> fields = {
        {QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
        {QStringLiteral("NRINSJURPESQ"), wire::PacketType::Text, 14},
        {QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
        {QStringLiteral("IDTPAMBIENTE"), wire::PacketType::Text, 1},
        {QStringLiteral("NRACESSOCTE"), wire::PacketType::Text, 50},
        {QStringLiteral("NRINSJUREMIT"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCEMIT"), wire::PacketType::Text, 60},
        {QStringLiteral("NRINSJURREME"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCREME"), wire::PacketType::Text, 60},
        {QStringLiteral("NRINSJUREXPE"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCEXPE"), wire::PacketType::Text, 60},
        {QStringLiteral("NRINSJURRECE"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCRECE"), wire::PacketType::Text, 60},
        {QStringLiteral("NRINSJURDEST"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCDEST"), wire::PacketType::Text, 60},
        {QStringLiteral("IDTOMADOR"), wire::PacketType::Text, 1},
        {QStringLiteral("NRINSJURTOMA"), wire::PacketType::Text, 14},
        {QStringLiteral("NMRAZSOCTOMA"), wire::PacketType::Text, 60},
        {QStringLiteral("DTEMISSAO"), wire::PacketType::Text, 10},
        {QStringLiteral("VRTOTALPREST"), wire::PacketType::Float, 0},
        {QStringLiteral("VRRECEBER"), wire::PacketType::Float, 0},
        {QStringLiteral("CDSTATUS"), wire::PacketType::Text, 3},
        {QStringLiteral("DSSTATUS"), wire::PacketType::Text, 255},
        {QStringLiteral("DTSINCRONIZACAO"), wire::PacketType::Text, 10},
    };
    wire::PacketWriter w(fields);
    Statement st(m_store, kSelectList);
    st.bind(1, reg);
    auto bindDate = [&](int i, const QDate &d) {
        if (d.isValid()) st.bind(i, d.toString(Qt::ISODate)); else st.bindNull(i);
    };
    bindDate(2, emIni);
    bindDate(3, emFim);
    bindDate(4, sincIni);
    bindDate(5, sincFim);
    st.bind(6, status);
    while (st.step()) {
        w.beginRow();
        w.textUtf8("N", 1);
        for (int c = 0; c < 23; ++c) {
            if (c == 18 || c == 19) {
                w.real(st.real(c));
                continue;
            }
            int n = 0;
            const char *p = st.utf8(c, n);
            w.textUtf8(p, n);
        }
    }
    return envelope(QStringLiteral("S"), QVariant::fromValue(w.finish()));
}

void RemoteModule::storeDocument(const QString &reg, const QString &nsu, const QString &schema,
                                 const QByteArray &zipped, const QString &syncDate, const QString &syncIso)
{
    auto keepRaw = [&](const QByteArray &content, const QString &why) {
        qWarning("NSU %s de %s guardado sem processar: %s", qPrintable(nsu), qPrintable(reg), qPrintable(why));
        Statement(m_store, "INSERT INTO doc_bruto (nrinsjurpesq, nrnsu, schema, conteudo, erro)"
                                " VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING")
            .bind(1, reg).bind(2, nsu).bind(3, schema).bind(4, content).bind(5, why).run();
    };
    const QByteArray raw = QByteArray::fromBase64(zipped, QByteArray::AbortOnBase64DecodingErrors);
    if (raw.isEmpty() && !zipped.isEmpty()) {
        keepRaw(zipped, QStringLiteral("docZip com base64 inválido"));
        return;
    }
    QByteArray xml;
    try {
        xml = xmlutil::gunzip(raw);
    } catch (const std::exception &e) {
        keepRaw(zipped, QString::fromUtf8(e.what()));
        return;
    }
    try {
        // A label the distribution does not use for CT-e is kept raw; within the labels it
        // uses, the document's own root says what it is.
        const QString root = xmlutil::rootName(xml);
        const bool known = schema.startsWith(QLatin1String("procCTe")) || schema.startsWith(QLatin1String("procGTVe")) ||
                           schema.startsWith(QLatin1String("procEventoCTe"));
        if (!known) {
            keepRaw(xml, QStringLiteral("schema desconhecido: %1").arg(schema));
        } else if (xmlutil::isProcCte(root)) {
            const xmlutil::CteFields f = xmlutil::readProcCte(xml);
            if (!fiscal::validAccessKey(f.key))
                throw std::runtime_error("chave de acesso inválida no documento: " + f.key.left(60).toStdString());
            Statement(m_store,
                      "INSERT INTO cte (nrinsjurpesq, nrnsu, idtpambiente, nracessocte, nrinsjuremit,"
                      " nmrazsocemit, nrinsjurreme, nmrazsocreme, nrinsjurexpe, nmrazsocexpe, nrinsjurrece,"
                      " nmrazsocrece, nrinsjurdest, nmrazsocdest, idtomador, nrinsjurtoma, nmrazsoctoma, dtemissao,"
                      " dtemissao_iso, vrtotalprest, vrreceber, cdstatus, dsstatus, dtsincronizacao, dtsinc_iso,"
                      " schema, xml) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"
                      " ON CONFLICT DO NOTHING")
                .bind(1, reg).bind(2, nsu).bind(3, f.tpAmb).bind(4, f.key).bind(5, f.emitDoc)
                .bind(6, f.emitName.left(60)).bind(7, f.remDoc).bind(8, f.remName.left(60)).bind(9, f.expDoc)
                .bind(10, f.expName.left(60)).bind(11, f.recDoc).bind(12, f.recName.left(60)).bind(13, f.destDoc)
                .bind(14, f.destName.left(60)).bind(15, f.toma).bind(16, f.tomaDoc).bind(17, f.tomaName.left(60))
                .bind(18, xmlutil::displayDate(f.dhEmi)).bind(19, xmlutil::isoDate(f.dhEmi)).bind(20, f.vTPrest)
                .bind(21, f.vRec).bind(22, QStringLiteral("100")).bind(23, statusText(f))
                .bind(24, syncDate).bind(25, syncIso).bind(26, schema).bind(27, xml).run();
            refreshStatus(reg, f.key); // its events may have come first
        } else if (root == QLatin1String("procEventoCTe")) {
            const auto v = xmlutil::leaves(xml);
            const QString base = QStringLiteral("procEventoCTe/eventoCTe/infEvento/");
            const QString key = v.value(base + QStringLiteral("chCTe"));
            const QString type = v.value(base + QStringLiteral("tpEvento"));
            if (!fiscal::validAccessKey(key) || type.isEmpty())
                throw std::runtime_error("evento sem chave válida ou sem tipo");
            Statement(m_store, "INSERT INTO evento (nrinsjurpesq, nrnsu, nracessocte, tpevento, nprot,"
                                    " dhregevento, xml) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING")
                .bind(1, reg).bind(2, nsu).bind(3, key).bind(4, type)
                .bind(5, v.value(QStringLiteral("procEventoCTe/retEventoCTe/infEvento/nProt")))
                .bind(6, v.value(QStringLiteral("procEventoCTe/retEventoCTe/infEvento/dhRegEvento")))
                .bind(7, xml).run();
            refreshStatus(reg, key);
        } else {
            keepRaw(xml, QStringLiteral("schema desconhecido: %1").arg(schema));
        }
    } catch (const StoreError &) {
        throw;
    } catch (const std::exception &e) {
        keepRaw(xml, QString::fromUtf8(e.what()));
    }
}

void RemoteModule::refreshStatus(const QString &reg, const QString &key)
{
    // Whoever registered them, in whatever order they came: a cancellation ends the CT-e;
    // a disagreement not undone by its own cancellation (610111) marks it; else it is authorised.
    bool cancelled = false;
    QStringList open;
    QSet<QString> undone;
    Statement ev(m_store, "SELECT tpevento, nprot, xml FROM evento WHERE nrinsjurpesq = ? AND nracessocte = ?");
    ev.bind(1, reg).bind(2, key);
    while (ev.step()) {
        const QString type = ev.text(0);
        if (type == QLatin1String("110111"))
            cancelled = true;
        else if (type == QLatin1String("610110"))
            open << ev.text(1);
        else if (type == QLatin1String("610111"))
            undone << xmlutil::leaves(ev.blob(2)).value(
                QStringLiteral("procEventoCTe/eventoCTe/infEvento/detEvento/evCancPrestDesacordo/nProtEvPrestDes"));
    }
    open.removeIf([&](const QString &prot) { return undone.contains(prot); });
    QString code = QStringLiteral("100"), text;
    if (cancelled) {
        code = QStringLiteral("101");
        text = QStringLiteral("Cancelamento de CT-e homologado");
    } else if (!open.isEmpty()) {
        code = QStringLiteral("000");
        text = QStringLiteral("Prestação do Serviço em Desacordo registrada - protocolo %1").arg(open.last());
    } else {
        Statement doc(m_store, "SELECT xml FROM cte WHERE nrinsjurpesq = ? AND nracessocte = ? AND xml IS NOT NULL");
        doc.bind(1, reg).bind(2, key);
        if (!doc.step())
            return;
        text = statusText(xmlutil::readProcCte(doc.blob(0)));
    }
    Statement(m_store, "UPDATE cte SET cdstatus = ?, dsstatus = ? WHERE nrinsjurpesq = ? AND nracessocte = ? AND xml IS NOT NULL")
        .bind(1, code).bind(2, text).bind(3, reg).bind(4, key).run();
}

QVariant RemoteModule::SincronizarCTe(QVariantList &args)
{
    argCount(args, 6, "SincronizarCTe");
    text(args, 0);
    text(args, 1);
    const QString reg = fiscal::normalRegistration(text(args, 2));
    const QString origin = text(args, 3);
    if (!(fiscal::validCnpj(reg) || fiscal::validCpf(reg)))
        return envelope(QStringLiteral("N"), QStringLiteral("Inscrição jurídica \"%1\" inválida.").arg(text(args, 2)));
    if (const QString expired = certificateExpired(m_authority.certificateExpiry(), m_clock()); !expired.isEmpty())
        return envelope(QStringLiteral("N"), expired);
    const RegistrationLock one(reg);

    // Another server, or another call, synchronizing this registration finishes first:
    // the cursor is read after it, so no NSU range is asked for twice.
    const Store::RegistrationLock lock(m_store, reg);
    const QDateTime now = m_clock();
    const QString nextQuery = QStringLiteral("Nova consulta à SEFAZ permitida a partir de %1.");
    if (const QDateTime until = syncstate::blockedUntil(m_store, reg, now); until.isValid())
        return envelope(QStringLiteral("N"), nextQuery.arg(localTime(until)));
    syncstate::Lease lease(m_store, reg, now);
    if (!lease.acquired())
        return envelope(QStringLiteral("N"), QStringLiteral("Outra sincronização da inscrição %1 está em andamento.").arg(reg));

    QString ult = nsuText(0);
    {
        Statement st(m_store, "SELECT ultnsu FROM cursor_nsu WHERE nrinsjurpesq = ?");
        st.bind(1, reg);
        if (st.step())
            ult = st.text(0);
    }
    const QDate today = now.toOffsetFromUtc(-3 * 3600).date();
    const QString syncDate = today.toString(QStringLiteral("dd/MM/yyyy")), syncIso = today.toString(Qt::ISODate);
    auto ask = [&](dist::Query q) {
        q.tpAmb = m_authority.tpAmb();
        q.cUFAutor = m_uf;
        q.registration = reg;
        const dist::Answer a = dist::readAnswer(m_authority.distDFeInt(dist::request(q)));
        lease.renew(m_clock());
        return a;
    };
    // Misuse (656) and nothing new (137) both mean: no query for this registration within the hour.
    auto holdOff = [&](const dist::Answer &a) {
        const QDateTime until = now.addSecs(3600);
        syncstate::block(m_store, reg, until, QStringLiteral("%1 - %2").arg(a.cStat, a.xMotivo));
        return nextQuery.arg(localTime(until));
    };
    auto failed = [](const std::exception &e) {
        return envelope(QStringLiteral("N"), QStringLiteral("Falha na consulta à SEFAZ: %1").arg(QString::fromUtf8(e.what())));
    };
    int added = 0;

    // NSUs below the cursor that this store never received (another system may have
    // taken them), one by one.
    for (const quint64 n : syncstate::missingNsus(m_store, reg, ult.toULongLong(), kGapRepairPerRun)) {
        dist::Answer a;
        dist::Query q;
        q.nsu = nsuText(n);
        try {
            a = ask(q);
        } catch (const std::exception &e) {
            return failed(e);
        }
        if (a.cStat == QLatin1String("656"))
            return envelope(QStringLiteral("N"), QStringLiteral("%1 - %2. %3").arg(a.cStat, a.xMotivo, holdOff(a)));
        if (a.cStat != QLatin1String("137") && a.cStat != QLatin1String("138"))
            return envelope(QStringLiteral("N"), QStringLiteral("%1 - %2").arg(a.cStat, a.xMotivo));
        m_store.transaction([&] {
            bool stored = false;
            for (const dist::DocZip &d : a.docs)
                if (d.nsu.toULongLong() == n) {
                    storeDocument(reg, nsuText(n), d.schema, d.content, syncDate, syncIso);
                    stored = true;
                    ++added;
                }
            if (!stored)
                Statement(m_store, "INSERT INTO cte (nrinsjurpesq, nrnsu, cdstatus, dsstatus,"
                                        " dtsincronizacao, dtsinc_iso) VALUES (?, ?, '999', 'NSU inexistente', ?, ?) ON CONFLICT DO NOTHING")
                    .bind(1, reg).bind(2, nsuText(n)).bind(3, syncDate).bind(4, syncIso).run();
        });
    }

    QString ending;
    for (int page = 0; page < 10000; ++page) {
        dist::Answer a;
        dist::Query q;
        q.ultNSU = ult;
        try {
            a = ask(q);
        } catch (const std::exception &e) {
            return failed(e);
        }
        if (a.cStat == QLatin1String("137")) {
            m_store.transaction([&] {
                Statement(m_store, "INSERT INTO cursor_nsu (nrinsjurpesq, ultnsu, maxnsu, dtultsinc, origem)"
                                        " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (nrinsjurpesq) DO UPDATE SET"
                                        " maxnsu = ?3, dtultsinc = ?4, origem = ?5")
                    .bind(1, reg).bind(2, ult).bind(3, a.maxNSU).bind(4, syncIso).bind(5, origin).run();
            });
            ending = QLatin1Char(' ') + holdOff(a);
            break;
        }
        // The cursor and the stored maxNSU stay as they were (a 656 may carry maxNSU 0).
        if (a.cStat == QLatin1String("656"))
            return envelope(QStringLiteral("N"), QStringLiteral("%1 - %2. %3").arg(a.cStat, a.xMotivo, holdOff(a)));
        if (a.cStat != QLatin1String("138"))
            return envelope(QStringLiteral("N"), QStringLiteral("%1 - %2").arg(a.cStat, a.xMotivo));
        const quint64 from = ult.toULongLong();
        const quint64 to = a.ultNSU.toULongLong();
        if (a.ultNSU.size() != 15 || !fiscal::allDigits(a.ultNSU) || to <= from)
            return envelope(QStringLiteral("N"), QStringLiteral("A SEFAZ respondeu com um ultNSU inválido (%1).").arg(a.ultNSU));
        m_store.transaction([&] {
            QSet<quint64> seen;
            for (const dist::DocZip &d : a.docs) {
                const quint64 n = d.nsu.toULongLong();
                if (n <= from || n > to)
                    continue;
                seen.insert(n);
                storeDocument(reg, nsuText(n), d.schema, d.content, syncDate, syncIso);
                ++added;
            }
            // NSU the authority skipped hold no document.
            Statement gap(m_store, "INSERT INTO cte (nrinsjurpesq, nrnsu, cdstatus, dsstatus, dtsincronizacao,"
                                        " dtsinc_iso) VALUES (?, ?, '999', 'NSU inexistente', ?, ?) ON CONFLICT DO NOTHING");
            for (quint64 n = from + 1; n <= to && n <= from + 1000; ++n) {
                if (seen.contains(n))
                    continue;
                gap.bind(1, reg).bind(2, nsuText(n)).bind(3, syncDate).bind(4, syncIso);
                gap.run();
            }
            Statement(m_store, "INSERT INTO cursor_nsu (nrinsjurpesq, ultnsu, maxnsu, dtultsinc, origem)"
                                    " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (nrinsjurpesq) DO UPDATE SET"
                                    " ultnsu = CASE WHEN cursor_nsu.ultnsu > ?2 THEN cursor_nsu.ultnsu ELSE ?2 END, maxnsu = ?3, dtultsinc = ?4, origem = ?5")
                .bind(1, reg).bind(2, a.ultNSU).bind(3, a.maxNSU).bind(4, syncIso).bind(5, origin).run();
        });
        ult = a.ultNSU;
        if (a.maxNSU.toULongLong() <= to)
            break;
    }
    if (const QString warning = certificateEnding(m_authority.certificateExpiry(), now); !warning.isEmpty())
        ending += QLatin1Char(' ') + warning;
    return envelope(QStringLiteral("S"), QStringLiteral("Sincronização concluída: %1 documento(s) recebido(s).%2").arg(added).arg(ending));
}

QVariant RemoteModule::DownloadXML(QVariantList &args)
{
    argCount(args, 4, "DownloadXML");
    if (args[0].metaType() != QMetaType::fromType<TDataPacket>())
        throw CallError("o argumento 1 deve ser um pacote de dados");
    text(args, 1);
    text(args, 2);
    const QString reg = fiscal::normalRegistration(text(args, 3));
    wire::DecodedPacket list;
    try {
        list = wire::decodePacket(args[0].value<TDataPacket>());
    } catch (const std::exception &e) {
        throw CallError(std::string("pacote de dados inválido: ") + e.what());
    }
    const int check = list.indexOf(QStringLiteral("IDCHECK")), nsuCol = list.indexOf(QStringLiteral("NRNSU"));
    const int regCol = list.indexOf(QStringLiteral("NRINSJURPESQ"));
    if (check < 0 || nsuCol < 0)
        throw CallError("o pacote de dados deve ter os campos IDCHECK e NRNSU");
    for (int c : {check, nsuCol, regCol})
        if (c >= 0 && list.fields[size_t(c)].type != wire::PacketType::Text && list.fields[size_t(c)].type != wire::PacketType::FixedText)
            throw CallError("o campo " + list.fields[size_t(c)].name.toStdString() + " do pacote de dados deve ser texto");
    wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                          {QStringLiteral("DSNOMEARQUIVO"), wire::PacketType::Text, 255},
                          {QStringLiteral("DSTEXTOXML"), wire::PacketType::Blob, 0},
                          {QStringLiteral("IDSTATUS"), wire::PacketType::Text, 3},
                          {QStringLiteral("DSSTATUS"), wire::PacketType::Text, 255}});
    Statement st(m_store, "SELECT nracessocte, xml FROM cte WHERE nrinsjurpesq = ? AND nrnsu = ?");
    for (const QVariantList &row : list.rows) {
        if (row[check].toString() != QLatin1String("S"))
            continue;
        const QString nsu = row[nsuCol].toString();
        const QString owner = reg.isEmpty() && regCol >= 0 ? fiscal::normalRegistration(row[regCol].toString()) : reg;
        st.bind(1, owner).bind(2, nsu);
        w.beginRow();
        // A stored key becomes a file name on the client: only a valid one goes out.
        if (st.step() && !st.isNull(1) && !st.blob(1).isEmpty() && fiscal::validAccessKey(st.text(0))) {
            w.text(nsu);
            w.text(st.text(0) + QStringLiteral("-procCTe.xml"));
            w.blob(st.blob(1));
            w.text(QStringLiteral("S"));
            w.text(QStringLiteral("XML disponível"));
        } else {
            w.text(nsu);
            w.text(QString());
            w.blob(QByteArray());
            w.text(QStringLiteral("N"));
            w.text(QStringLiteral("Não há XML armazenado para o NSU %1.").arg(nsu));
        }
        st.reset();
    }
    return envelope(QStringLiteral("S"), QVariant::fromValue(w.finish()));
}

QVariant RemoteModule::RecusaCTe(QVariantList &args)
{
    argCount(args, 5, "RecusaCTe");
    const QString key = text(args, 0).trimmed();
    QString reasonError;
    const QString reason = eventReason(text(args, 1), reasonError);
    text(args, 2);
    const QString reg = fiscal::normalRegistration(text(args, 3));
    text(args, 4);
    if (!fiscal::validAccessKey(key))
        return envelope(QStringLiteral("N"), QStringLiteral("Chave de acesso \"%1\" inválida.").arg(key));
    if (!reasonError.isEmpty())
        return envelope(QStringLiteral("N"), reasonError);
    const qsizetype characters = reason.toUcs4().size();
    if (characters < 15 || characters > 255)
        return envelope(QStringLiteral("N"), QStringLiteral("O motivo deve ter de 15 a 255 caracteres."));
    if (const QString expired = certificateExpired(m_authority.certificateExpiry(), m_clock()); !expired.isEmpty())
        return envelope(QStringLiteral("N"), expired);
    // Two events for one CT-e at once would take the same sequence number: the second
    // waits and then finds the first one registered.
    const RegistrationLock oneEvent(QStringLiteral("evento ") + key);
    QString status;
    {
        Statement st(m_store, "SELECT cdstatus FROM cte WHERE nrinsjurpesq = ? AND nracessocte = ?");
        st.bind(1, reg).bind(2, key);
        if (!st.step())
            return envelope(QStringLiteral("N"),
                            QStringLiteral("CT-e %1 não encontrado para a inscrição jurídica %2.").arg(key, reg));
        status = st.text(0);
    }
    if (status == QLatin1String("000"))
        return envelope(QStringLiteral("N"),
                        QStringLiteral("Evento de Prestação de Serviço em Desacordo já registrado para esse CT-e."));
    if (status == QLatin1String("101"))
        return envelope(QStringLiteral("N"), QStringLiteral("CT-e cancelado: o evento não pode ser registrado."));

    // The authority numbers the events of one type on one CT-e, whoever registered them:
    // the next one after the highest known (the same event may be kept for several registrations).
    qint64 kept = 0;
    {
        Statement st(m_store, "SELECT xml FROM evento WHERE nracessocte = ? AND tpevento = '610110'");
        st.bind(1, key);
        while (st.step())
            kept = std::max<qint64>(kept, xmlutil::leaves(st.blob(0)).value(
                                              QStringLiteral("procEventoCTe/eventoCTe/infEvento/nSeqEvento")).toLongLong());
    }
    if (kept >= 99)
        return envelope(QStringLiteral("N"), QStringLiteral("CT-e %1 já tem 99 eventos de Prestação do Serviço em Desacordo.").arg(key));
    evento::Disagreement d;
    d.key = key;
    d.tpAmb = m_authority.tpAmb();
    d.author = reg;
    d.at = m_clock();
    d.sequence = int(kept) + 1;
    d.reason = reason;

    QHash<QString, QString> v;
    QByteArray sent, answer;
    try {
        sent = m_authority.prepareEvent(d);
        answer = m_authority.eventoCTe(sent);
        v = xmlutil::leaves(answer);
    } catch (const std::exception &e) {
        return envelope(QStringLiteral("N"), QStringLiteral("Falha no envio do evento à SEFAZ: %1").arg(QString::fromUtf8(e.what())));
    }
    const QString base = QStringLiteral("retEventoCTe/infEvento/");
    const QString cStat = v.value(base + QStringLiteral("cStat"));
    if (cStat.isEmpty())
        return envelope(QStringLiteral("N"), QStringLiteral("Falha no envio do evento à SEFAZ: a resposta não é um retEventoCTe."));
    // 135 registered and linked, 136 registered without link, 134 linked with a warning.
    if (cStat != QLatin1String("135") && cStat != QLatin1String("134") && cStat != QLatin1String("136"))
        return envelope(QStringLiteral("N"), QStringLiteral("%1 - %2").arg(cStat, v.value(base + QStringLiteral("xMotivo"))));
    const QString prot = v.value(base + QStringLiteral("nProt"));
    m_store.transaction([&] {
        Statement(m_store, "INSERT INTO evento (nrinsjurpesq, nrnsu, nracessocte, tpevento, nprot, dhregevento, xml)"
                                " VALUES (?, NULL, ?, '610110', ?, ?, ?)")
            .bind(1, reg).bind(2, key).bind(3, prot).bind(4, v.value(base + QStringLiteral("dhRegEvento")))
            .bind(5, evento::proc(sent, answer)).run();
        Statement(m_store, "UPDATE cte SET cdstatus = '000', dsstatus = ? WHERE nrinsjurpesq = ? AND nracessocte = ?")
            .bind(1, QStringLiteral("Prestação do Serviço em Desacordo registrada - protocolo %1").arg(prot))
            .bind(2, reg).bind(3, key).run();
    });
    return envelope(QStringLiteral("S"), QStringLiteral("Evento registrado. Protocolo %1.").arg(prot));
}
