#include "XmlSigner.h"

#include <QFile>
#include <QMutex>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <mutex>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <stdexcept>
#include <xmlsec/crypto.h>
#include <xmlsec/openssl/x509.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

struct XmlSigner::Key {
    xmlSecKeyPtr key = nullptr;
    mutable QMutex mutex; // duplicating the key is the only step that touches it
    ~Key()
    {
        if (key)
            xmlSecKeyDestroy(key);
    }
};

namespace {
[[noreturn]] void fail(const std::string &what) { throw std::runtime_error("assinatura XML: " + what); }

void initOnce()
{
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        xmlInitParser();
        ok = xmlSecInit() >= 0 && xmlSecCheckVersion() == 1 && xmlSecCryptoAppInit(nullptr) >= 0 &&
             xmlSecCryptoInit() >= 0;
    });
    if (!ok)
        fail("libxmlsec1 não inicializou");
}


// KeyInfo keeps the signer's own certificate only: the fiscal layouts allow one
// X509Certificate, and libxmlsec1 writes the whole chain of a PKCS#12.
void keepOnlyOwnCertificate(xmlNodePtr x509Data, xmlSecKeyPtr key)
{
    xmlSecKeyDataPtr data = xmlSecKeyGetData(key, xmlSecOpenSSLKeyDataX509Id);
    X509 *cert = data ? xmlSecOpenSSLKeyDataX509GetKeyCert(data) : nullptr;
    unsigned char *der = nullptr;
    const int n = cert ? i2d_X509(cert, &der) : -1;
    if (n <= 0)
        fail("certificado da chave de assinatura");
    const QByteArray own = QByteArray(reinterpret_cast<const char *>(der), n).toBase64();
    OPENSSL_free(der);
    for (xmlNodePtr c = x509Data->children; c;) {
        xmlNodePtr next = c->next;
        if (c->type == XML_ELEMENT_NODE && xmlStrEqual(c->name, BAD_CAST "X509Certificate")) {
            xmlChar *t = xmlNodeGetContent(c);
            const QByteArray written = QByteArray(reinterpret_cast<const char *>(t)).simplified().replace(' ', "");
            xmlFree(t);
            if (written != own) {
                if (c->prev && xmlIsBlankNode(c->prev)) {
                    xmlNodePtr blank = c->prev;
                    xmlUnlinkNode(blank);
                    xmlFreeNode(blank);
                }
                xmlUnlinkNode(c);
                xmlFreeNode(c);
            }
        }
        c = next;
    }
}

struct DocGuard {
    xmlDocPtr doc;
    ~DocGuard() { xmlFreeDoc(doc); }
};
} // namespace

xmlNodePtr XmlSigner::findById(xmlNodePtr node, const xmlChar *id)
{
    for (; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        if (xmlAttrPtr a = xmlHasProp(node, BAD_CAST "Id")) {
            xmlChar *v = xmlNodeListGetString(node->doc, a->children, 1);
            const bool match = v && xmlStrEqual(v, id);
            xmlFree(v);
            if (match) {
                xmlAddID(nullptr, node->doc, id, a);
                return node;
            }
        }
        if (xmlNodePtr inner = findById(node->children, id))
            return inner;
    }
    return nullptr;
}

XmlSigner::XmlSigner(std::unique_ptr<Key> key) : m_key(std::move(key)) {}

void XmlSigner::initialise() { initOnce(); }
XmlSigner::~XmlSigner() = default;

std::shared_ptr<XmlSigner> XmlSigner::fromPkcs12(const QString &path, const QByteArray &password)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        fail(QStringLiteral("%1: %2").arg(path, f.errorString()).toStdString());
    return fromPkcs12Data(f.readAll(), password);
}

std::shared_ptr<XmlSigner> XmlSigner::fromPkcs12Data(const QByteArray &pkcs12, const QByteArray &password)
{
    initOnce();
    auto k = std::make_unique<Key>();
    k->key = xmlSecCryptoAppPkcs12LoadMemory(reinterpret_cast<const xmlSecByte *>(pkcs12.constData()),
                                             static_cast<xmlSecSize>(pkcs12.size()), password.constData(), nullptr, nullptr);
    if (!k->key)
        fail("PKCS#12 ilegível com a senha informada");
    return std::shared_ptr<XmlSigner>(new XmlSigner(std::move(k)));
}

std::shared_ptr<XmlSigner> XmlSigner::ephemeral(const QString &commonName)
{
    EVP_PKEY *pkey = EVP_RSA_gen(2048);
    X509 *cert = X509_new();
    PKCS12 *p12 = nullptr;
    QByteArray der;
    if (pkey && cert) {
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -24 * 3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 24 * 3600);
        X509_set_pubkey(cert, pkey);
        X509_NAME *name = X509_get_subject_name(cert);
        const QByteArray cn = commonName.toUtf8();
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(cn.constData()), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        if (X509_sign(cert, pkey, EVP_sha256()) > 0)
            p12 = PKCS12_create("", nullptr, pkey, cert, nullptr, 0, 0, 0, 0, 0);
    }
    if (p12) {
        unsigned char *buf = nullptr;
        const int n = i2d_PKCS12(p12, &buf);
        if (n > 0)
            der = QByteArray(reinterpret_cast<const char *>(buf), n);
        OPENSSL_free(buf);
    }
    PKCS12_free(p12);
    X509_free(cert);
    EVP_PKEY_free(pkey);
    if (der.isEmpty())
        fail("não foi possível gerar a chave da simulação");
    return fromPkcs12Data(der, QByteArray());
}

QByteArray XmlSigner::sign(const QByteArray &xml, const QString &id) const
{
    DocGuard d{xmlReadMemory(xml.constData(), int(xml.size()), nullptr, nullptr, XML_PARSE_NONET)};
    if (!d.doc)
        fail("documento mal formado");
    const QByteArray idUtf8 = id.toUtf8();
    xmlNodePtr target = XmlSigner::findById(xmlDocGetRootElement(d.doc), BAD_CAST idUtf8.constData());
    if (!target)
        fail("elemento com Id " + idUtf8.toStdString() + " não encontrado");
    xmlNodePtr sig = xmlSecTmplSignatureCreate(d.doc, xmlSecTransformInclC14NId, xmlSecTransformRsaSha1Id, nullptr);
    if (!sig || !target->parent || !xmlAddChild(target->parent, sig))
        fail("modelo de assinatura");
    const QByteArray uri = "#" + idUtf8;
    xmlNodePtr ref = xmlSecTmplSignatureAddReference(sig, xmlSecTransformSha1Id, nullptr, BAD_CAST uri.constData(), nullptr);
    if (!ref || !xmlSecTmplReferenceAddTransform(ref, xmlSecTransformEnvelopedId) ||
        !xmlSecTmplReferenceAddTransform(ref, xmlSecTransformInclC14NId))
        fail("referência da assinatura");
    xmlNodePtr keyInfo = xmlSecTmplSignatureEnsureKeyInfo(sig, nullptr);
    xmlNodePtr x509 = keyInfo ? xmlSecTmplKeyInfoAddX509Data(keyInfo) : nullptr;
    if (!x509 || !xmlSecTmplX509DataAddCertificate(x509))
        fail("KeyInfo da assinatura");

    xmlSecDSigCtxPtr ctx = xmlSecDSigCtxCreate(nullptr);
    if (!ctx)
        fail("contexto de assinatura");
    {
        QMutexLocker lock(&m_key->mutex);
        ctx->signKey = xmlSecKeyDuplicate(m_key->key);
    }
    const int rc = ctx->signKey ? xmlSecDSigCtxSign(ctx, sig) : -1;
    try {
        if (rc >= 0)
            keepOnlyOwnCertificate(x509, ctx->signKey);
    } catch (...) {
        xmlSecDSigCtxDestroy(ctx);
        throw;
    }
    xmlSecDSigCtxDestroy(ctx);
    if (rc < 0)
        fail("falha ao assinar");
    xmlChar *out = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(d.doc, &out, &size, "UTF-8");
    const QByteArray signedXml(reinterpret_cast<const char *>(out), size);
    xmlFree(out);
    return signedXml;
}

namespace {
// The base64 certificate the signature's KeyInfo carries, as DER.
QByteArray keyInfoCertificate(xmlNodePtr sig)
{
    xmlNodePtr cert = xmlSecFindNode(sig, BAD_CAST "X509Certificate", xmlSecDSigNs);
    if (!cert)
        return {};
    xmlChar *t = xmlNodeGetContent(cert);
    const QByteArray b64 = QByteArray(reinterpret_cast<const char *>(t)).simplified().replace(' ', "");
    xmlFree(t);
    return QByteArray::fromBase64(b64);
}
} // namespace

QString XmlSigner::verify(const QByteArray &xml, const QString &id)
{
    initOnce();
    DocGuard d{xmlReadMemory(xml.constData(), int(xml.size()), nullptr, nullptr, XML_PARSE_NONET)};
    if (!d.doc)
        return QStringLiteral("documento mal formado");
    const QByteArray idUtf8 = id.toUtf8();
    xmlNodePtr target = findById(xmlDocGetRootElement(d.doc), BAD_CAST idUtf8.constData());
    xmlNodePtr sig = xmlSecFindNode(xmlDocGetRootElement(d.doc), xmlSecNodeSignature, xmlSecDSigNs);
    if (!target)
        return QStringLiteral("sem elemento com Id %1").arg(id);
    if (!sig || sig->parent != target->parent)
        return QStringLiteral("sem assinatura do elemento %1").arg(id);
    const QByteArray der = keyInfoCertificate(sig);
    xmlSecKeyPtr key = der.isEmpty() ? nullptr
                                     : xmlSecCryptoAppKeyLoadMemory(reinterpret_cast<const xmlSecByte *>(der.constData()),
                                                                    static_cast<xmlSecSize>(der.size()), xmlSecKeyDataFormatCertDer,
                                                                    nullptr, nullptr, nullptr);
    if (!key)
        return QStringLiteral("sem certificado legível em KeyInfo");
    xmlSecDSigCtxPtr ctx = xmlSecDSigCtxCreate(nullptr);
    if (!ctx) {
        xmlSecKeyDestroy(key);
        return QStringLiteral("contexto de verificação");
    }
    ctx->signKey = key;
    const bool ok = xmlSecDSigCtxVerify(ctx, sig) >= 0 && ctx->status == xmlSecDSigStatusSucceeded;
    xmlSecDSigCtxDestroy(ctx);
    return ok ? QString() : QStringLiteral("assinatura difere do calculado");
}
