#include "EventMessages.h"

#include <QStringList>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <stdexcept>

namespace evento {

QString id(const Disagreement &d)
{
    return QStringLiteral("ID") + d.type + d.key + QStringLiteral("%1").arg(d.sequence, 3, 10, QLatin1Char('0'));
}

int utcOffsetSeconds(const QString &ufCode)
{
    // No state keeps summer time since 2019.
    if (ufCode == QLatin1String("12")) // AC
        return -5 * 3600;
    if (ufCode == QLatin1String("11") || ufCode == QLatin1String("13") || ufCode == QLatin1String("14") ||
        ufCode == QLatin1String("50") || ufCode == QLatin1String("51")) // RO, AM, RR, MS, MT
        return -4 * 3600;
    return -3 * 3600;
}

QString foldAccents(const QString &text)
{
    // Compatibility decomposition splits "ç" into "c" and its cedilla and turns "º" into "o".
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString out;
    out.reserve(decomposed.size());
    for (QChar c : decomposed)
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f)
            out += c;
    return out;
}

QByteArray build(const Disagreement &d, bool asciiOnly)
{
    const QString description = QString::fromUtf8(kDescription);
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.writeStartDocument(QStringLiteral("1.0"));
    w.writeStartElement(QStringLiteral("eventoCTe"));
    w.writeDefaultNamespace(QString::fromLatin1(kNs));
    w.writeAttribute(QStringLiteral("versao"), QStringLiteral("4.00"));
    w.writeStartElement(QStringLiteral("infEvento"));
    w.writeAttribute(QStringLiteral("Id"), id(d));
    w.writeTextElement(QStringLiteral("cOrgao"), d.key.left(2));
    w.writeTextElement(QStringLiteral("tpAmb"), d.tpAmb);
    w.writeTextElement(d.author.size() == 11 ? QStringLiteral("CPF") : QStringLiteral("CNPJ"), d.author);
    w.writeTextElement(QStringLiteral("chCTe"), d.key);
    w.writeTextElement(QStringLiteral("dhEvento"), d.at.toOffsetFromUtc(utcOffsetSeconds(d.key.left(2))).toString(Qt::ISODate));
    w.writeTextElement(QStringLiteral("tpEvento"), d.type);
    w.writeTextElement(QStringLiteral("nSeqEvento"), QString::number(d.sequence));
    w.writeStartElement(QStringLiteral("detEvento"));
    w.writeAttribute(QStringLiteral("versaoEvento"), QStringLiteral("4.00"));
    if (d.type == QLatin1String(kUndoType)) {
        const QString undo = QString::fromUtf8(kUndoDescription);
        w.writeStartElement(QStringLiteral("evCancPrestDesacordo"));
        w.writeTextElement(QStringLiteral("descEvento"), asciiOnly ? foldAccents(undo) : undo);
        w.writeTextElement(QStringLiteral("nProtEvPrestDes"), d.disagreementProtocol);
    } else {
        w.writeStartElement(QStringLiteral("evPrestDesacordo"));
        w.writeTextElement(QStringLiteral("descEvento"), asciiOnly ? foldAccents(description) : description);
        w.writeTextElement(QStringLiteral("indDesacordoOper"), QStringLiteral("1"));
        w.writeTextElement(QStringLiteral("xObs"), asciiOnly ? foldAccents(d.reason).trimmed() : d.reason);
    }
    w.writeEndElement(); // the payload
    w.writeEndElement(); // detEvento
    w.writeEndElement(); // infEvento
    w.writeEndElement(); // eventoCTe
    w.writeEndDocument();
    return xml;
}

Fields read(const QByteArray &eventoCTe)
{
    Fields f;
    QXmlStreamReader r(eventoCTe);
    QStringList path;
    QString text;
    while (!r.atEnd()) {
        switch (r.readNext()) {
        case QXmlStreamReader::StartElement: {
            path << r.name().toString();
            text.clear();
            const QString p = path.join(QLatin1Char('/'));
            if (path.size() == 1) {
                f.root = path.first();
                f.version = r.attributes().value(QStringLiteral("versao")).toString();
            } else if (p == QLatin1String("eventoCTe/infEvento")) {
                f.id = r.attributes().value(QStringLiteral("Id")).toString();
            } else if (p == QLatin1String("eventoCTe/infEvento/detEvento")) {
                f.detVersion = r.attributes().value(QStringLiteral("versaoEvento")).toString();
            } else if (p == QLatin1String("eventoCTe/Signature") && r.namespaceUri() == QLatin1String(kDsigNs)) {
                f.signature = true;
            }
            break;
        }
        case QXmlStreamReader::Characters:
            text += r.text();
            break;
        case QXmlStreamReader::EndElement: {
            const QString p = path.join(QLatin1Char('/'));
            const QString inf = QStringLiteral("eventoCTe/infEvento/");
            const QString det = inf + QStringLiteral("detEvento/evPrestDesacordo/");
            if (p == inf + QStringLiteral("cOrgao")) f.cOrgao = text;
            else if (p == inf + QStringLiteral("tpAmb")) f.tpAmb = text;
            else if (p == inf + QStringLiteral("CNPJ") || p == inf + QStringLiteral("CPF")) {
                f.author = text;
                f.authorTag = path.last();
            } else if (p == inf + QStringLiteral("chCTe")) f.key = text;
            else if (p == inf + QStringLiteral("dhEvento")) f.dhEvento = text;
            else if (p == inf + QStringLiteral("tpEvento")) f.tpEvento = text;
            else if (p == inf + QStringLiteral("nSeqEvento")) f.nSeqEvento = text;
            else if (p == det + QStringLiteral("descEvento")) f.descEvento = text;
            else if (p == det + QStringLiteral("indDesacordoOper")) f.indDesacordoOper = text;
            else if (p == det + QStringLiteral("xObs")) f.xObs = text;
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
    return f;
}

QByteArray proc(const QByteArray &sentEvent, const QByteArray &answer)
{
    // Each part keeps its own bytes: the event's own namespace declaration keeps the
    // canonical form its signature covers.
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<procEventoCTe xmlns=\"" + QByteArray(kNs) + "\" versao=\"4.00\">" +
           withoutDeclaration(sentEvent) + withoutDeclaration(answer) + "</procEventoCTe>\n";
}

} // namespace evento
