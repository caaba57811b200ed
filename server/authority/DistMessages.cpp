#include "DistMessages.h"

#include <QDateTime>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <algorithm>
#include <stdexcept>

namespace dist {

QByteArray request(const Query &q)
{
    QByteArray req;
    QXmlStreamWriter w(&req);
    w.writeStartDocument(QStringLiteral("1.0"));
    w.writeStartElement(QStringLiteral("distDFeInt"));
    w.writeDefaultNamespace(QString::fromLatin1(kNs));
    w.writeAttribute(QStringLiteral("versao"), QStringLiteral("1.00"));
    w.writeTextElement(QStringLiteral("tpAmb"), q.tpAmb);
    w.writeTextElement(QStringLiteral("cUFAutor"), q.cUFAutor);
    w.writeTextElement(q.registration.size() == 11 ? QStringLiteral("CPF") : QStringLiteral("CNPJ"), q.registration);
    if (q.nsu.isEmpty()) {
        w.writeStartElement(QStringLiteral("distNSU"));
        w.writeTextElement(QStringLiteral("ultNSU"), q.ultNSU);
    } else {
        w.writeStartElement(QStringLiteral("consNSU"));
        w.writeTextElement(QStringLiteral("NSU"), q.nsu);
    }
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    return req;
}

Query readRequest(const QByteArray &xml)
{
    Query q;
    q.tpAmb.clear();
    q.cUFAutor.clear();
    QXmlStreamReader r(xml);
    if (!r.readNextStartElement() || r.name() != QLatin1String("distDFeInt"))
        throw std::runtime_error("não é um distDFeInt");
    bool cons = false;
    while (!r.atEnd()) {
        if (r.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto n = r.name();
        if (n == QLatin1String("tpAmb")) q.tpAmb = r.readElementText();
        else if (n == QLatin1String("cUFAutor")) q.cUFAutor = r.readElementText();
        else if (n == QLatin1String("CNPJ") || n == QLatin1String("CPF")) q.registration = r.readElementText();
        else if (n == QLatin1String("ultNSU")) q.ultNSU = r.readElementText();
        else if (n == QLatin1String("consNSU")) cons = true;
        else if (n == QLatin1String("NSU")) q.nsu = r.readElementText();
    }
    if (r.hasError())
        throw std::runtime_error("distDFeInt mal formado: " + r.errorString().toStdString());
    if (cons && q.nsu.isEmpty())
        throw std::runtime_error("consNSU sem NSU");
    return q;
}

QByteArray answer(const Answer &a)
{
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.writeStartDocument(QStringLiteral("1.0"));
    w.writeStartElement(QStringLiteral("retDistDFeInt"));
    w.writeDefaultNamespace(QString::fromLatin1(kNs));
    w.writeAttribute(QStringLiteral("versao"), QStringLiteral("1.00"));
    w.writeTextElement(QStringLiteral("tpAmb"), a.tpAmb);
    w.writeTextElement(QStringLiteral("verAplic"), QStringLiteral("SIM-1.00"));
    w.writeTextElement(QStringLiteral("cStat"), a.cStat);
    w.writeTextElement(QStringLiteral("xMotivo"), a.xMotivo);
    // Layout 1.00 writes Brasília time without an offset.
    w.writeTextElement(QStringLiteral("dhResp"), QDateTime::currentDateTimeUtc().toOffsetFromUtc(-3 * 3600)
                                                     .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    w.writeTextElement(QStringLiteral("ultNSU"), a.ultNSU);
    w.writeTextElement(QStringLiteral("maxNSU"), a.maxNSU);
    if (!a.docs.empty()) {
        w.writeStartElement(QStringLiteral("loteDistDFeInt"));
        for (const DocZip &d : a.docs) {
            w.writeStartElement(QStringLiteral("docZip"));
            w.writeAttribute(QStringLiteral("NSU"), d.nsu);
            w.writeAttribute(QStringLiteral("schema"), d.schema);
            w.writeCharacters(QString::fromLatin1(d.content));
            w.writeEndElement();
        }
        w.writeEndElement();
    }
    w.writeEndElement();
    w.writeEndDocument();
    return xml;
}

namespace {
[[noreturn]] void incomplete(const std::string &why) { throw std::runtime_error("resposta da SEFAZ incompleta: " + why); }

bool isNsu(const QString &s)
{
    return s.size() == 15 && std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// A docZip's NSU places it in the cursor's range: without one it could only be lost.
DocZip readDocZip(QXmlStreamReader &r)
{
    DocZip d;
    const QXmlStreamAttributes at = r.attributes();
    if (!at.hasAttribute(QStringLiteral("NSU")) || !isNsu(at.value(QStringLiteral("NSU")).toString()))
        incomplete("docZip sem NSU de 15 dígitos (\"" + at.value(QStringLiteral("NSU")).toString().toStdString() + "\")");
    if (!at.hasAttribute(QStringLiteral("schema")) || at.value(QStringLiteral("schema")).trimmed().isEmpty())
        incomplete("docZip do NSU " + at.value(QStringLiteral("NSU")).toString().toStdString() + " sem schema");
    d.nsu = at.value(QStringLiteral("NSU")).toString();
    d.schema = at.value(QStringLiteral("schema")).toString();
    d.content = r.readElementText().toLatin1();
    return d;
}
} // namespace

Answer readAnswer(const QByteArray &xml)
{
    Answer a;
    a.tpAmb.clear();
    QXmlStreamReader r(xml);
    if (!r.readNextStartElement())
        throw std::runtime_error("resposta da SEFAZ inválida: " + r.errorString().toStdString());
    if (r.name() != QLatin1String("retDistDFeInt"))
        throw std::runtime_error("a resposta da SEFAZ não é um retDistDFeInt (<" + r.name().toString().toStdString() + ">)");
    bool ult = false, max = false;
    while (!r.atEnd()) {
        if (r.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto n = r.name();
        if (n == QLatin1String("tpAmb")) a.tpAmb = r.readElementText();
        else if (n == QLatin1String("cStat")) a.cStat = r.readElementText().trimmed();
        else if (n == QLatin1String("xMotivo")) a.xMotivo = r.readElementText();
        else if (n == QLatin1String("ultNSU")) { a.ultNSU = r.readElementText(); ult = true; }
        else if (n == QLatin1String("maxNSU")) { a.maxNSU = r.readElementText(); max = true; }
        else if (n == QLatin1String("docZip")) a.docs.push_back(readDocZip(r));
    }
    if (r.hasError())
        throw std::runtime_error("resposta da SEFAZ inválida: " + r.errorString().toStdString());
    if (a.cStat.isEmpty())
        incomplete("sem cStat");
    if (!ult || !max)
        incomplete(!ult ? "sem ultNSU" : "sem maxNSU");
    return a;
}

} // namespace dist
