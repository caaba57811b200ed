#include "DistMessages.h"

#include <QDateTime>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
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

Answer readAnswer(const QByteArray &xml)
{
    Answer a;
    a.tpAmb.clear();
    QXmlStreamReader r(xml);
    if (!r.readNextStartElement())
        throw std::runtime_error("resposta da SEFAZ inválida: " + r.errorString().toStdString());
    if (r.name() != QLatin1String("retDistDFeInt"))
        throw std::runtime_error("a resposta da SEFAZ não é um retDistDFeInt (<" + r.name().toString().toStdString() + ">)");
    while (!r.atEnd()) {
        if (r.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto n = r.name();
        if (n == QLatin1String("tpAmb")) a.tpAmb = r.readElementText();
        else if (n == QLatin1String("cStat")) a.cStat = r.readElementText();
        else if (n == QLatin1String("xMotivo")) a.xMotivo = r.readElementText();
        else if (n == QLatin1String("ultNSU")) a.ultNSU = r.readElementText();
        else if (n == QLatin1String("maxNSU")) a.maxNSU = r.readElementText();
        else if (n == QLatin1String("docZip")) {
            DocZip d;
            d.nsu = r.attributes().value(QStringLiteral("NSU")).toString();
            d.schema = r.attributes().value(QStringLiteral("schema")).toString();
            d.content = r.readElementText().toLatin1();
            a.docs.push_back(d);
        }
    }
    if (r.hasError())
        throw std::runtime_error("resposta da SEFAZ inválida: " + r.errorString().toStdString());
    return a;
}

} // namespace dist
