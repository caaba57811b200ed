#include "Xml.h"

#include <QDate>
#include <QXmlStreamReader>
#include <stdexcept>
#include <zlib.h>

namespace xmlutil {

QByteArray gzip(const QByteArray &data)
{
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("gzip: init");
    QByteArray out;
    out.resize(qsizetype(deflateBound(&z, uLong(data.size())) + 32));
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    const int rc = deflate(&z, Z_FINISH);
    deflateEnd(&z);
    if (rc != Z_STREAM_END)
        throw std::runtime_error("gzip: deflate");
    out.resize(qsizetype(z.total_out));
    return out;
}

QByteArray gunzip(const QByteArray &data)
{
    z_stream z{};
    if (inflateInit2(&z, 15 + 32) != Z_OK)
        throw std::runtime_error("gunzip: init");
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = uInt(data.size());
    QByteArray out;
    char buf[16384];
    int rc;
    do {
        z.next_out = reinterpret_cast<Bytef *>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            inflateEnd(&z);
            throw std::runtime_error("conteúdo gzip corrompido");
        }
        out.append(buf, qsizetype(sizeof buf - z.avail_out));
        if (out.size() > 64 * 1024 * 1024) {
            inflateEnd(&z);
            throw std::runtime_error("documento descompactado grande demais");
        }
    } while (rc != Z_STREAM_END && (z.avail_in > 0 || z.avail_out == 0));
    inflateEnd(&z);
    if (rc != Z_STREAM_END)
        throw std::runtime_error("conteúdo gzip truncado");
    return out;
}

QHash<QString, QString> leaves(const QByteArray &xml)
{
    QHash<QString, QString> out;
    QXmlStreamReader r(xml);
    QStringList path;
    QString text;
    while (!r.atEnd()) {
        switch (r.readNext()) {
        case QXmlStreamReader::StartElement: {
            path << r.name().toString();
            text.clear();
            const QString p = path.join(QLatin1Char('/'));
            for (const auto &a : r.attributes()) {
                const QString k = p + QLatin1Char('@') + a.name().toString();
                if (!out.contains(k))
                    out.insert(k, a.value().toString());
            }
            break;
        }
        case QXmlStreamReader::Characters:
            text += r.text();
            break;
        case QXmlStreamReader::EndElement: {
            const QString p = path.join(QLatin1Char('/'));
            if (!out.contains(p))
                out.insert(p, text.trimmed());
            path.removeLast();
            text.clear();
            if (path.isEmpty())
                return out; // whatever a system appended after the document is not ours to read
            break;
        }
        default:
            break;
        }
    }
    if (r.hasError())
        throw std::runtime_error("XML inválido: " + r.errorString().toStdString());
    return out;
}

QString rootName(const QByteArray &xml)
{
    QXmlStreamReader r(xml);
    return r.readNextStartElement() ? r.name().toString() : QString();
}

namespace {
struct Layout {
    const char *proc, *document, *kind;
};
const Layout kLayouts[] = {{"cteProc", "CTe", "CT-e"}, {"cteOSProc", "CTeOS", "CT-e OS"},
                           {"GTVeProc", "GTVe", "GTV-e"}, {"cteSimpProc", "CTeSimp", "CT-e Simplificado"}};

const Layout *layoutOf(const QString &root)
{
    for (const Layout &l : kLayouts)
        if (root == QLatin1String(l.proc))
            return &l;
    return nullptr;
}

// The service taker by its code: the party it names, or its own element.
void readTaker(CteFields &f, const QHash<QString, QString> &v, const QString &inf, const QString &layout)
{
    auto doc = [&](const QString &party) {
        const QString cnpj = v.value(inf + party + QStringLiteral("/CNPJ"));
        return cnpj.isEmpty() ? v.value(inf + party + QStringLiteral("/CPF")) : cnpj;
    };
    if (layout == QLatin1String("CTeOS") || layout == QLatin1String("CTeSimp")) {
        // Its own taker element; the CT-e OS names no other party.
        f.toma = layout == QLatin1String("CTeOS") ? QStringLiteral("4") : v.value(inf + QStringLiteral("toma/toma"));
        f.tomaDoc = doc(QStringLiteral("toma"));
        f.tomaName = v.value(inf + QStringLiteral("toma/xNome"));
        return;
    }
    if (layout == QLatin1String("GTVe")) {
        // 0 sender, 1 receiver, or a third party in tomaTerceiro.
        const QString code = v.value(inf + QStringLiteral("ide/toma/toma"));
        f.toma = code == QLatin1String("1") ? QStringLiteral("3") : code;
        if (f.toma.isEmpty() && v.contains(inf + QStringLiteral("ide/tomaTerceiro/xNome"))) {
            f.toma = QStringLiteral("4");
            f.tomaDoc = doc(QStringLiteral("ide/tomaTerceiro"));
            f.tomaName = v.value(inf + QStringLiteral("ide/tomaTerceiro/xNome"));
            return;
        }
    } else {
        f.toma = v.value(inf + QStringLiteral("ide/toma3/toma"));
        if (f.toma.isEmpty())
            f.toma = v.value(inf + QStringLiteral("ide/toma4/toma"));
    }
    if (f.toma == QLatin1String("0")) { f.tomaDoc = f.remDoc; f.tomaName = f.remName; }
    else if (f.toma == QLatin1String("1")) { f.tomaDoc = f.expDoc; f.tomaName = f.expName; }
    else if (f.toma == QLatin1String("2")) { f.tomaDoc = f.recDoc; f.tomaName = f.recName; }
    else if (f.toma == QLatin1String("3")) { f.tomaDoc = f.destDoc; f.tomaName = f.destName; }
    else if (f.toma == QLatin1String("4")) {
        f.tomaDoc = doc(QStringLiteral("ide/toma4"));
        f.tomaName = v.value(inf + QStringLiteral("ide/toma4/xNome"));
    }
}
} // namespace

bool isProcCte(const QString &root) { return layoutOf(root) != nullptr; }

QByteArray withoutDeclaration(const QByteArray &xml)
{
    QByteArray m = xml.trimmed();
    if (m.startsWith("<?xml")) {
        const qsizetype end = m.indexOf("?>");
        m = end < 0 ? QByteArray() : m.mid(end + 2).trimmed();
    }
    return m;
}

CteFields readProcCte(const QByteArray &xml)
{
    const auto v = leaves(xml);
    QString root;
    for (const Layout &l : kLayouts)
        if (v.contains(QString::fromLatin1(l.proc) + QLatin1Char('/') + QString::fromLatin1(l.document) + QStringLiteral("/infCte/ide/dhEmi")))
            root = QString::fromLatin1(l.proc);
    const Layout *layout = layoutOf(root);
    if (!layout)
        throw std::runtime_error("documento não é um CT-e autorizado (cteProc, cteOSProc, GTVeProc ou cteSimpProc)");
    const QString document = QString::fromLatin1(layout->document);
    const QString inf = root + QLatin1Char('/') + document + QStringLiteral("/infCte/");
    const QString prot = root + QStringLiteral("/protCTe/infProt/");
    auto doc = [&](const QString &party) {
        const QString cnpj = v.value(inf + party + QStringLiteral("/CNPJ"));
        return cnpj.isEmpty() ? v.value(inf + party + QStringLiteral("/CPF")) : cnpj;
    };
    CteFields f;
    f.kind = QString::fromUtf8(layout->kind);
    f.key = v.value(prot + QStringLiteral("chCTe"));
    if (f.key.isEmpty())
        f.key = v.value(inf.chopped(1) + QStringLiteral("@Id")).mid(3);
    f.tpAmb = v.value(inf + QStringLiteral("ide/tpAmb"));
    f.dhEmi = v.value(inf + QStringLiteral("ide/dhEmi"));
    f.emitDoc = doc(QStringLiteral("emit"));
    f.emitName = v.value(inf + QStringLiteral("emit/xNome"));
    f.remDoc = doc(QStringLiteral("rem"));
    f.remName = v.value(inf + QStringLiteral("rem/xNome"));
    f.expDoc = doc(QStringLiteral("exped"));
    f.expName = v.value(inf + QStringLiteral("exped/xNome"));
    f.recDoc = doc(QStringLiteral("receb"));
    f.recName = v.value(inf + QStringLiteral("receb/xNome"));
    f.destDoc = doc(QStringLiteral("dest"));
    f.destName = v.value(inf + QStringLiteral("dest/xNome"));
    readTaker(f, v, inf, document);
    // The CT-e Simplificado carries its totals apart from the items.
    const bool simplified = document == QLatin1String("CTeSimp");
    f.vTPrest = v.value(inf + (simplified ? QStringLiteral("total/vTPrest") : QStringLiteral("vPrest/vTPrest"))).toDouble();
    f.vRec = v.value(inf + (simplified ? QStringLiteral("total/vTRec") : QStringLiteral("vPrest/vRec"))).toDouble();
    f.cStat = v.value(prot + QStringLiteral("cStat"));
    f.xMotivo = v.value(prot + QStringLiteral("xMotivo"));
    f.nProt = v.value(prot + QStringLiteral("nProt"));
    f.dhRecbto = v.value(prot + QStringLiteral("dhRecbto"));
    return f;
}

QString isoDate(const QString &dt)
{
    const QDate d = QDate::fromString(dt.left(10), Qt::ISODate);
    return d.isValid() ? d.toString(Qt::ISODate) : QString();
}

QString displayDate(const QString &dt)
{
    const QDate d = QDate::fromString(dt.left(10), Qt::ISODate);
    return d.isValid() ? d.toString(QStringLiteral("dd/MM/yyyy")) : QString();
}

} // namespace xmlutil
