#include "AuthorityOptions.h"
#include "authority/sefaz/SefazAuthority.h"
#include "authority/simulated/SimulatedAuthority.h"
#include "XmlSigner.h"

#include <stdexcept>

namespace {
std::runtime_error failure(const QString &text) { return std::runtime_error(text.toStdString()); }
} // namespace

std::shared_ptr<AuthoritySource> makeAuthority(const AuthorityOptions &o)
{
    if (o.source == QLatin1String("simulated")) {
        std::shared_ptr<XmlSigner> signer;
        if (!o.signer.isEmpty())
            signer = XmlSigner::fromPkcs12(o.signer, CompanyCertificate::password(o.passwordFile, AuthorityOptions::kPasswordVariable));
        return std::make_shared<SimulatedAuthority>(SimulatedAuthority::Clock{}, signer);
    }
    if (o.source != QLatin1String("sefaz"))
        throw failure(QStringLiteral("fonte da SEFAZ desconhecida: %1 (disponíveis: simulated, sefaz)").arg(o.source));
    if (o.certificate.isEmpty())
        throw failure(QStringLiteral("--authority sefaz exige --certificate (o PKCS#12 A1 da empresa)"));
    if (o.caFile.isEmpty())
        throw failure(QStringLiteral("--authority sefaz exige --ca-file (as raízes que assinam o certificado da SEFAZ)"));
    Endpoints::Environment env;
    if (!Endpoints::environmentFromName(o.environment, env))
        throw failure(QStringLiteral("ambiente inválido: %1 (homologacao ou producao)").arg(o.environment));
    if (!(o.connectTimeoutSeconds > 0 && o.answerTimeoutSeconds > 0))
        throw failure(QStringLiteral("os tempos de espera devem ser maiores que zero"));
    const QList<QSslCertificate> trusted = QSslCertificate::fromPath(o.caFile, QSsl::Pem);
    if (trusted.isEmpty())
        throw failure(QStringLiteral("--ca-file %1: nenhum certificado PEM legível").arg(o.caFile));
    SoapTransport::Options t;
    t.trusted = trusted;
    t.connectTimeoutMs = int(o.connectTimeoutSeconds * 1000);
    t.answerTimeoutMs = int(o.answerTimeoutSeconds * 1000);
    const QByteArray password = CompanyCertificate::password(o.passwordFile, AuthorityOptions::kPasswordVariable);
    CompanyCertificate cert = CompanyCertificate::load(o.certificate, password);
    std::shared_ptr<const XmlSigner> signer = XmlSigner::fromPkcs12(o.certificate, password); // the events' signature
    Endpoints endpoints = Endpoints::load(o.endpoints);
    endpoints.url(QString::fromLatin1(SefazAuthority::kDistService), QStringLiteral("AN"), env); // fails now, not at the first call
    return std::make_shared<SefazAuthority>(SoapTransport(std::move(cert), t), std::move(endpoints), env, std::move(signer));
}
