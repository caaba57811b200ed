#pragma once
// A throw-away public key infrastructure made with the openssl command in a
// temporary folder: a test CA, the authority's TLS certificate for 127.0.0.1, an
// A1-like company certificate (CNPJ in the common name, as ICP-Brasil writes it), the
// simulated authority's signing certificate, and a second CA that trusts none of them.
#include <QString>
#include <QTemporaryDir>

class TestPki {
public:
    static constexpr char kCompany[] = "11222333000181";
    static constexpr char kPassword[] = "senha de teste";

    TestPki();
    bool ok() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QString caPem() const { return path(QStringLiteral("ca.pem")); }
    QString serverPem() const { return path(QStringLiteral("server.pem")); }
    QString serverKey() const { return path(QStringLiteral("server.key")); }
    QString companyP12() const { return path(QStringLiteral("company.p12")); }
    QString signerP12() const { return path(QStringLiteral("signer.p12")); }
    QString passwordFile() const { return path(QStringLiteral("password.txt")); }
    QString rogueCaPem() const { return path(QStringLiteral("rogue-ca.pem")); }
    QString rogueCompanyP12() const { return path(QStringLiteral("rogue-company.p12")); } // same CNPJ, other CA
    // PEM certificate and key of the company and of the rogue company (client certificates).
    QString companyPem() const { return path(QStringLiteral("company.pem")); }
    QString companyKey() const { return path(QStringLiteral("company.key")); }
    QString rogueCompanyPem() const { return path(QStringLiteral("rogue-company.pem")); }
    QString rogueCompanyKey() const { return path(QStringLiteral("rogue-company.key")); }
    // A server certificate for 127.0.0.1 from the test CA that expired in 2020 (made on demand).
    bool makeExpiredServer();
    QString expiredServerPem() const { return path(QStringLiteral("expired-server.pem")); }
    QString expiredServerKey() const { return path(QStringLiteral("expired-server.key")); }

    // A CA, and a server certificate for 127.0.0.1 from the test CA, valid for `days` from now.
    bool makeCa(const QString &name, int days) { return ca(name, days); }
    bool makeServer(const QString &name, int days);

private:
    bool run(const QStringList &args);
    bool ca(const QString &name, int days = 30);
    bool leaf(const QString &name, const QString &ca, const QString &subject, const QString &extensions, int days = 30);
    bool pkcs12(const QString &name, const QString &ca);
    QTemporaryDir m_dir;
    QString m_error;
    int m_serial = 1000;
};

// xmlsec1's exit code verifying `file`'s signature over the element of namespace-qualified
// name `idElement` (for example "http://www.portalfiscal.inf.br/cte:infCte") against
// `caPem`, with what it printed in `output`; -1 when it did not run to the end.
int xmlsecVerify(const QString &caPem, const QString &idElement, const QString &file, QString &output);
