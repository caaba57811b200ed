#include "DocumentIntake.h"
#include "Fiscal.h"
#include "authority/Xml.h"

#include <QSet>

namespace intake {

namespace {
struct Delivered {
    Store &store;
    const QString &registration, &nsu, &schema;
    const SyncDay &day;
};

void keepRaw(const Delivered &d, const QByteArray &content, const QString &why)
{
    qWarning("NSU %s de %s guardado sem processar: %s", qPrintable(d.nsu), qPrintable(d.registration), qPrintable(why));
    Statement(d.store, "INSERT INTO doc_bruto (nrinsjurpesq, nrnsu, schema, conteudo, erro)"
                       " VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING")
        .bind(1, d.registration).bind(2, d.nsu).bind(3, d.schema).bind(4, content).bind(5, why).run();
}

// The list tells the kinds apart in its status text: a CT-e OS, GTV-e or CT-e Simplificado says so.
QString statusText(const xmlutil::CteFields &f)
{
    const QString motive = f.xMotivo.isEmpty() ? QStringLiteral("Autorizado o uso do CT-e") : f.xMotivo;
    return (f.kind == QLatin1String("CT-e") ? motive : f.kind + QStringLiteral(" - ") + motive).left(255);
}

void storeCte(const Delivered &d, const QByteArray &xml)
{
    const xmlutil::CteFields f = xmlutil::readProcCte(xml);
    if (!fiscal::validAccessKey(f.key))
        throw std::runtime_error("chave de acesso inválida no documento: " + f.key.left(60).toStdString());
    Statement(d.store,
              "INSERT INTO cte (nrinsjurpesq, nrnsu, idtpambiente, nracessocte, nrinsjuremit,"
              " nmrazsocemit, nrinsjurreme, nmrazsocreme, nrinsjurexpe, nmrazsocexpe, nrinsjurrece,"
              " nmrazsocrece, nrinsjurdest, nmrazsocdest, idtomador, nrinsjurtoma, nmrazsoctoma, dtemissao,"
              " dtemissao_iso, vrtotalprest, vrreceber, cdstatus, dsstatus, dtsincronizacao, dtsinc_iso,"
              " schema) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"
              " ON CONFLICT DO NOTHING")
        .bind(1, d.registration).bind(2, d.nsu).bind(3, f.tpAmb).bind(4, f.key).bind(5, f.emitDoc)
        .bind(6, f.emitName.left(60)).bind(7, f.remDoc).bind(8, f.remName.left(60)).bind(9, f.expDoc)
        .bind(10, f.expName.left(60)).bind(11, f.recDoc).bind(12, f.recName.left(60)).bind(13, f.destDoc)
        .bind(14, f.destName.left(60)).bind(15, f.toma).bind(16, f.tomaDoc).bind(17, f.tomaName.left(60))
        .bind(18, xmlutil::displayDate(f.dhEmi)).bind(19, xmlutil::isoDate(f.dhEmi)).bind(20, f.vTPrest)
        .bind(21, f.vRec).bind(22, QStringLiteral("100")).bind(23, statusText(f))
        .bind(24, d.day.shown).bind(25, d.day.iso).bind(26, d.schema).run();
    // Only under the row of this very document: an NSU already taken keeps what it has.
    Statement(d.store, "INSERT INTO cte_xml (nrinsjurpesq, nrnsu, xml) SELECT nrinsjurpesq, nrnsu, ? FROM cte"
                       " WHERE nrinsjurpesq = ? AND nrnsu = ? AND nracessocte = ? ON CONFLICT DO NOTHING")
        .bind(1, xml).bind(2, d.registration).bind(3, d.nsu).bind(4, f.key).run();
    refreshStatus(d.store, d.registration, f.key); // its events may have come first
}

void storeEvent(const Delivered &d, const QByteArray &xml)
{
    const auto v = xmlutil::leaves(xml);
    const QString base = QStringLiteral("procEventoCTe/eventoCTe/infEvento/");
    const QString key = v.value(base + QStringLiteral("chCTe"));
    const QString type = v.value(base + QStringLiteral("tpEvento"));
    if (!fiscal::validAccessKey(key) || type.isEmpty())
        throw std::runtime_error("evento sem chave válida ou sem tipo");
    Statement(d.store, "INSERT INTO evento (nrinsjurpesq, nrnsu, nracessocte, tpevento, nprot,"
                       " dhregevento, xml) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING")
        .bind(1, d.registration).bind(2, d.nsu).bind(3, key).bind(4, type)
        .bind(5, v.value(QStringLiteral("procEventoCTe/retEventoCTe/infEvento/nProt")))
        .bind(6, v.value(QStringLiteral("procEventoCTe/retEventoCTe/infEvento/dhRegEvento")))
        .bind(7, xml).run();
    refreshStatus(d.store, d.registration, key);
}
} // namespace

void refreshStatus(Store &store, const QString &registration, const QString &key)
{
    bool cancelled = false;
    QStringList open;
    QSet<QString> undone;
    Statement ev(store, "SELECT tpevento, nprot, xml FROM evento WHERE nrinsjurpesq = ? AND nracessocte = ?");
    ev.bind(1, registration).bind(2, key);
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
        Statement doc(store, "SELECT x.xml FROM cte c JOIN cte_xml x ON x.nrinsjurpesq = c.nrinsjurpesq AND x.nrnsu = c.nrnsu"
                             " WHERE c.nrinsjurpesq = ? AND c.nracessocte = ?");
        doc.bind(1, registration).bind(2, key);
        text = doc.step() ? statusText(xmlutil::readProcCte(doc.blob(0))) : QStringLiteral("Autorizado o uso do CT-e");
    }
    Statement(store, "UPDATE cte SET cdstatus = ?, dsstatus = ? WHERE nrinsjurpesq = ? AND nracessocte = ?")
        .bind(1, code).bind(2, text).bind(3, registration).bind(4, key).run();
}

void storeDocument(Store &store, const QString &registration, const QString &nsu, const QString &schema,
                   const QByteArray &zipped, const SyncDay &day)
{
    const Delivered d{store, registration, nsu, schema, day};
    const QByteArray raw = QByteArray::fromBase64(zipped, QByteArray::AbortOnBase64DecodingErrors);
    if (raw.isEmpty() && !zipped.isEmpty()) {
        keepRaw(d, zipped, QStringLiteral("docZip com base64 inválido"));
        return;
    }
    QByteArray xml;
    try {
        xml = xmlutil::gunzip(raw);
    } catch (const std::exception &e) {
        keepRaw(d, zipped, QString::fromUtf8(e.what()));
        return;
    }
    // A label the distribution does not use for CT-e is kept raw; within the labels it
    // uses, the document's own root says what it is.
    const bool known = schema.startsWith(QLatin1String("procCTe")) || schema.startsWith(QLatin1String("procGTVe")) ||
                       schema.startsWith(QLatin1String("procEventoCTe"));
    try {
        const QString root = known ? xmlutil::rootName(xml) : QString();
        if (!known)
            keepRaw(d, xml, QStringLiteral("schema desconhecido: %1").arg(schema));
        else if (xmlutil::isProcCte(root))
            storeCte(d, xml);
        else if (root == QLatin1String("procEventoCTe"))
            storeEvent(d, xml);
        else
            keepRaw(d, xml, QStringLiteral("documento <%1> não é um CT-e nem um evento").arg(root));
    } catch (const StoreError &) {
        throw;
    } catch (const std::exception &e) {
        keepRaw(d, xml, QString::fromUtf8(e.what()));
    }
}

EmptyMarks::EmptyMarks(Store &store, const QString &registration, const SyncDay &day)
    : m_st(store, "INSERT INTO cte (nrinsjurpesq, nrnsu, cdstatus, dsstatus, dtsincronizacao,"
                  " dtsinc_iso) VALUES (?, ?, '999', 'NSU inexistente', ?, ?) ON CONFLICT DO NOTHING"),
      m_registration(registration), m_day(day)
{
}

void EmptyMarks::mark(const QString &nsu)
{
    m_st.bind(1, m_registration).bind(2, nsu).bind(3, m_day.shown).bind(4, m_day.iso);
    m_st.run();
}

} // namespace intake
