#include "SignatureCheck.h"
#include "authority/XmlSigner.h"

#include <QRegularExpression>
#include <QXmlStreamReader>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/crypto.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

namespace {
const char kDsig[] = "http://www.w3.org/2000/09/xmldsig#";

// The algorithms and the reference, read as text: the layouts fix each of them.
QString layoutProblem(const QByteArray &xml, const QString &id, const QSslCertificate &certificate)
{
    QXmlStreamReader r(xml);
    QStringList transforms, certificates;
    QString c14n, method, digest, uri;
    int references = 0;
    while (!r.atEnd()) {
        if (r.readNext() != QXmlStreamReader::StartElement || r.namespaceUri() != QLatin1String(kDsig))
            continue;
        const QString alg = r.attributes().value(QStringLiteral("Algorithm")).toString();
        if (r.name() == QLatin1String("CanonicalizationMethod")) c14n = alg;
        else if (r.name() == QLatin1String("SignatureMethod")) method = alg;
        else if (r.name() == QLatin1String("DigestMethod")) digest = alg;
        else if (r.name() == QLatin1String("Transform")) transforms << alg;
        else if (r.name() == QLatin1String("Reference")) {
            ++references;
            uri = r.attributes().value(QStringLiteral("URI")).toString();
        } else if (r.name() == QLatin1String("X509Certificate"))
            certificates << r.readElementText().remove(QRegularExpression(QStringLiteral("\\s")));
    }
    const QString c14n10 = QStringLiteral("http://www.w3.org/TR/2001/REC-xml-c14n-20010315");
    if (c14n != c14n10) return QStringLiteral("CanonicalizationMethod %1").arg(c14n);
    if (method != QLatin1String("http://www.w3.org/2000/09/xmldsig#rsa-sha1")) return QStringLiteral("SignatureMethod %1").arg(method);
    if (digest != QLatin1String("http://www.w3.org/2000/09/xmldsig#sha1")) return QStringLiteral("DigestMethod %1").arg(digest);
    if (transforms != QStringList{QStringLiteral("http://www.w3.org/2000/09/xmldsig#enveloped-signature"), c14n10})
        return QStringLiteral("Transforms %1").arg(transforms.join(QLatin1Char(' ')));
    if (references != 1 || uri != QLatin1Char('#') + id) return QStringLiteral("Reference %1").arg(uri);
    if (certificates != QStringList{QString::fromLatin1(certificate.toDer().toBase64())})
        return QStringLiteral("KeyInfo não traz exatamente o certificado do cliente");
    return {};
}
} // namespace

QString signatureProblem(const QByteArray &xml, const QString &id, const QSslCertificate &certificate)
{
    if (const QString p = layoutProblem(xml, id, certificate); !p.isEmpty())
        return p;
    XmlSigner::initialise();
    xmlDocPtr doc = xmlReadMemory(xml.constData(), int(xml.size()), nullptr, nullptr, XML_PARSE_NONET);
    if (!doc)
        return QStringLiteral("documento mal formado");
    QString problem;
    const QByteArray idUtf8 = id.toUtf8();
    xmlNodePtr target = XmlSigner::findById(xmlDocGetRootElement(doc), BAD_CAST idUtf8.constData());
    xmlNodePtr sig = xmlSecFindNode(xmlDocGetRootElement(doc), xmlSecNodeSignature, xmlSecDSigNs);
    const QByteArray der = certificate.toDer();
    xmlSecKeyPtr key = xmlSecCryptoAppKeyLoadMemory(reinterpret_cast<const xmlSecByte *>(der.constData()),
                                                    static_cast<xmlSecSize>(der.size()), xmlSecKeyDataFormatCertDer, nullptr, nullptr, nullptr);
    xmlSecDSigCtxPtr ctx = xmlSecDSigCtxCreate(nullptr);
    if (!target)
        problem = QStringLiteral("sem elemento com Id %1").arg(id);
    else if (!sig || sig->parent != target->parent)
        problem = QStringLiteral("sem Signature ao lado do elemento assinado");
    else if (!key || !ctx)
        problem = QStringLiteral("chave do certificado do cliente");
    else {
        ctx->signKey = key; // the client's own key; KeyInfo is not trusted for it
        key = nullptr;
        if (xmlSecDSigCtxVerify(ctx, sig) < 0 || ctx->status != xmlSecDSigStatusSucceeded)
            problem = QStringLiteral("assinatura difere do calculado");
    }
    if (ctx)
        xmlSecDSigCtxDestroy(ctx);
    if (key)
        xmlSecKeyDestroy(key);
    xmlFreeDoc(doc);
    return problem;
}
