#pragma once
// Enveloped XMLDSig of one element of a fiscal document (C14N 1.0, RSA-SHA1, the
// signer's certificate in KeyInfo), as the CT-e layouts sign infCte and infEvento.
// libxmlsec1 with its OpenSSL engine, initialised once per process. A signer is
// read-only after construction: safe from several threads at once.
#include <QByteArray>
#include <QString>
#include <memory>

struct _xmlNode;

class XmlSigner {
public:
    // The key and certificate of a PKCS#12 file. Throws std::runtime_error.
    static std::shared_ptr<XmlSigner> fromPkcs12(const QString &path, const QByteArray &password);
    static std::shared_ptr<XmlSigner> fromPkcs12Data(const QByteArray &pkcs12, const QByteArray &password);
    // A fresh self-signed RSA key, for a simulation that was given no certificate.
    static std::shared_ptr<XmlSigner> ephemeral(const QString &commonName);
    // libxml2 and libxmlsec1 ready for use in this process (also by a verifier).
    // Throws std::runtime_error.
    static void initialise();
    ~XmlSigner();

    // Signs the element whose Id attribute is `id`; the Signature goes last inside its
    // parent (after infCTeSupl where the layout has one). Throws std::runtime_error.
    QByteArray sign(const QByteArray &xml, const QString &id) const;

    // Empty when the enveloped signature over the element with Id `id` holds with the key
    // of the certificate its KeyInfo carries; otherwise why not. (Whether that certificate
    // is one the authority trusts is not looked at.)
    static QString verify(const QByteArray &xml, const QString &id);

    // The element below `node` whose Id attribute is `id`, registered as an ID so that
    // a signature's reference to it resolves; null when there is none.
    static _xmlNode *findById(_xmlNode *node, const unsigned char *id);

    struct Key;

private:
    explicit XmlSigner(std::unique_ptr<Key> key);
    std::unique_ptr<Key> m_key;
};
