#include "Soap.h"
#include "authority/Xml.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <stdexcept>

namespace soap {

namespace {
// Copies the element the reader stands on, with everything inside it.
QByteArray copyElement(QXmlStreamReader &r)
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    int depth = 0;
    do {
        if (r.tokenType() == QXmlStreamReader::StartElement) ++depth;
        else if (r.tokenType() == QXmlStreamReader::EndElement) --depth;
        w.writeCurrentToken(r);
        if (depth == 0)
            break;
    } while (!r.atEnd() && r.readNext() != QXmlStreamReader::Invalid);
    return out;
}

// Walks to the first element named `local` anywhere below the current position.
bool findElement(QXmlStreamReader &r, const QString &local)
{
    while (!r.atEnd()) {
        if (r.readNext() == QXmlStreamReader::StartElement && r.name() == local)
            return true;
    }
    return false;
}

[[noreturn]] void notSoap(const QString &why) { throw std::runtime_error(("resposta não é SOAP 1.2: " + why).toStdString()); }

// A SOAP 1.1 fault (faultcode, faultstring), which some services still send when they
// fail before reading the request: its text says more than "not SOAP 1.2".
Answer soap11Fault(QXmlStreamReader &r)
{
    if (!findElement(r, QStringLiteral("Body")) || !r.readNextStartElement() || r.name() != QLatin1String("Fault") ||
        r.namespaceUri() != QLatin1String(kSoap11Ns))
        notSoap(QStringLiteral("envelope SOAP 1.1"));
    Answer a;
    a.fault = true;
    QString code, reason;
    while (!r.atEnd() && !(r.readNext() == QXmlStreamReader::EndElement && r.name() == QLatin1String("Fault"))) {
        if (r.isStartElement() && r.name() == QLatin1String("faultcode"))
            code = r.readElementText();
        else if (r.isStartElement() && r.name() == QLatin1String("faultstring"))
            reason = r.readElementText();
    }
    if (r.hasError())
        notSoap(r.errorString());
    a.faultText = QStringLiteral("SOAP 1.1: ") + (code.isEmpty() ? reason : code + QStringLiteral(": ") + reason);
    return a;
}
} // namespace

QByteArray envelope(const QString &wsdlNs, const QString &operation, const QString &dataElement, const QByteArray &message)
{
    const QByteArray ns = " xmlns=\"" + wsdlNs.toUtf8() + "\"";
    const QByteArray data = dataElement.toUtf8(), op = operation.toUtf8();
    QByteArray body = "<" + data + (op.isEmpty() ? ns : QByteArray()) + ">" + xmlutil::withoutDeclaration(message) + "</" + data + ">";
    if (!op.isEmpty())
        body = "<" + op + ns + ">" + body + "</" + op + ">";
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap12:Envelope xmlns:soap12=\"" + QByteArray(kEnvelopeNs) +
           "\"><soap12:Body>" + body + "</soap12:Body></soap12:Envelope>";
}

Answer read(const QByteArray &xml, const QString &resultElement)
{
    QXmlStreamReader r(xml);
    if (!r.readNextStartElement())
        notSoap(r.hasError() ? r.errorString() : QStringLiteral("documento vazio"));
    if (r.name() == QLatin1String("Envelope") && r.namespaceUri() == QLatin1String(kSoap11Ns))
        return soap11Fault(r);
    if (r.name() != QLatin1String("Envelope") || r.namespaceUri() != QLatin1String(kEnvelopeNs))
        notSoap(QStringLiteral("raiz <%1>").arg(r.qualifiedName()));
    if (!findElement(r, QStringLiteral("Body")))
        notSoap(QStringLiteral("sem Body"));
    if (!r.readNextStartElement())
        notSoap(QStringLiteral("Body vazio"));
    Answer a;
    if (r.name() == QLatin1String("Fault") && r.namespaceUri() == QLatin1String(kEnvelopeNs)) {
        a.fault = true;
        QString code, reason;
        while (!r.atEnd()) {
            r.readNext();
            if (r.isEndElement() && r.name() == QLatin1String("Fault"))
                break;
            if (!r.isStartElement())
                continue;
            if (r.name() == QLatin1String("Value") && code.isEmpty())
                code = r.readElementText();
            else if (r.name() == QLatin1String("Text") && reason.isEmpty())
                reason = r.readElementText();
        }
        a.faultText = code.isEmpty() ? reason : code + QStringLiteral(": ") + reason;
        return a;
    }
    if (r.name() != resultElement && !findElement(r, resultElement))
        notSoap(QStringLiteral("sem %1").arg(resultElement));
    if (!r.readNextStartElement())
        notSoap(r.hasError() ? r.errorString() : QStringLiteral("%1 vazio").arg(resultElement));
    a.contentRoot = r.name().toString();
    a.content = copyElement(r);
    if (r.hasError())
        notSoap(r.errorString());
    return a;
}

QByteArray innerBytes(const QByteArray &xml, const QString &element)
{
    // Character offsets of a reader over the decoded text map back to the same bytes.
    const QString text = QString::fromUtf8(xml);
    QXmlStreamReader r(text);
    if (!findElement(r, element))
        return {};
    qint64 start = r.characterOffset();
    while (!r.atEnd() && r.readNext() != QXmlStreamReader::StartElement) {
        if (r.tokenType() == QXmlStreamReader::EndElement || r.tokenType() == QXmlStreamReader::Invalid)
            return {};
        start = r.characterOffset();
    }
    if (!r.isStartElement())
        return {};
    const QString name = r.name().toString(), ns = r.namespaceUri().toString();
    for (int depth = 1; depth > 0 && !r.atEnd();) {
        const QXmlStreamReader::TokenType t = r.readNext();
        if (t == QXmlStreamReader::StartElement) ++depth;
        else if (t == QXmlStreamReader::EndElement) --depth;
        else if (t == QXmlStreamReader::Invalid) return {};
    }
    const QByteArray raw = text.mid(start, r.characterOffset() - start).toUtf8();
    QXmlStreamReader alone(raw);
    if (!alone.readNextStartElement() || alone.name() != name || alone.namespaceUri() != ns)
        return {};
    while (!alone.atEnd())
        alone.readNext();
    return alone.hasError() ? QByteArray() : raw;
}

QByteArray requestMessage(const QByteArray &xml, const QString &dataElement)
{
    QXmlStreamReader r(xml);
    if (!findElement(r, dataElement) || !r.readNextStartElement())
        notSoap(QStringLiteral("sem %1").arg(dataElement));
    const QByteArray m = copyElement(r);
    if (r.hasError())
        notSoap(r.errorString());
    return m;
}

} // namespace soap
