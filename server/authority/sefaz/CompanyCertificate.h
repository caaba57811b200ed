#pragma once
// The company's A1 certificate: a PKCS#12 file with the key, the certificate and its
// chain. ICP-Brasil writes the holder's CNPJ (or CPF) at the end of the subject's
// common name, after a colon ("EMPRESA LTDA:11222333000181").
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

class CompanyCertificate {
public:
    // Throws std::runtime_error with a message that never contains the password.
    static CompanyCertificate load(const QString &path, const QByteArray &password);
    // The password of a PKCS#12 file: from `file` (its first line), else from the
    // environment variable; empty when neither is given.
    static QByteArray password(const QString &file, const char *environmentVariable);

    const QSslCertificate &certificate() const { return m_cert; }
    const QSslKey &key() const { return m_key; }
    const QList<QSslCertificate> &chain() const { return m_chain; }
    const QString &path() const { return m_path; }
    QString holderDocument() const { return m_doc; } // 14 digits (CNPJ), 11 (CPF) or empty
    // Whether the certificate may query for `registration` (a CNPJ of the same base, or the same CPF).
    bool covers(const QString &registration) const;

private:
    QSslCertificate m_cert;
    QSslKey m_key;
    QList<QSslCertificate> m_chain;
    QString m_path, m_doc;
};
