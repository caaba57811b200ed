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
    const QString inf = QStringLiteral("cteProc/CTe/infCte/");
    if (!v.contains(inf + QStringLiteral("ide/dhEmi")))
        throw std::runtime_error("documento não é um procCTe");
    auto doc = [&](const QString &party) {
        const QString cnpj = v.value(inf + party + QStringLiteral("/CNPJ"));
        return cnpj.isEmpty() ? v.value(inf + party + QStringLiteral("/CPF")) : cnpj;
    };
    CteFields f;
    f.key = v.value(QStringLiteral("cteProc/protCTe/infProt/chCTe"));
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
    f.toma = v.value(inf + QStringLiteral("ide/toma3/toma"));
    if (f.toma.isEmpty())
        f.toma = v.value(inf + QStringLiteral("ide/toma4/toma"));
    if (f.toma == QLatin1String("0")) { f.tomaDoc = f.remDoc; f.tomaName = f.remName; }
    else if (f.toma == QLatin1String("1")) { f.tomaDoc = f.expDoc; f.tomaName = f.expName; }
    else if (f.toma == QLatin1String("2")) { f.tomaDoc = f.recDoc; f.tomaName = f.recName; }
    else if (f.toma == QLatin1String("3")) { f.tomaDoc = f.destDoc; f.tomaName = f.destName; }
    else if (f.toma == QLatin1String("4")) {
        f.tomaDoc = doc(QStringLiteral("ide/toma4"));
        f.tomaName = v.value(inf + QStringLiteral("ide/toma4/xNome"));
    }
    f.vTPrest = v.value(inf + QStringLiteral("vPrest/vTPrest")).toDouble();
    f.vRec = v.value(inf + QStringLiteral("vPrest/vRec")).toDouble();
    f.cStat = v.value(QStringLiteral("cteProc/protCTe/infProt/cStat"));
    f.xMotivo = v.value(QStringLiteral("cteProc/protCTe/infProt/xMotivo"));
    f.nProt = v.value(QStringLiteral("cteProc/protCTe/infProt/nProt"));
    f.dhRecbto = v.value(QStringLiteral("cteProc/protCTe/infProt/dhRecbto"));
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
