#include "SefazAuthority.h"
#include "DistMessages.h"
#include "Soap.h"

#include <stdexcept>

namespace {
std::runtime_error failure(const QString &text) { return std::runtime_error(text.toStdString()); }
} // namespace

SefazAuthority::SefazAuthority(SoapTransport transport, Endpoints endpoints, Endpoints::Environment environment)
    : m_transport(std::move(transport)), m_endpoints(std::move(endpoints)), m_environment(environment)
{
}

QByteArray SefazAuthority::distDFeInt(const QByteArray &request)
{
    const dist::Query q = dist::readRequest(request);
    const CompanyCertificate &cert = m_transport.identity();
    // The authority answers only for the certificate's own CNPJ base (or CPF); asking
    // for another counts as misuse, so the call is never made.
    if (!cert.covers(q.registration))
        throw failure(QStringLiteral("o certificado %1 é de %2 e não consulta a inscrição %3")
                          .arg(cert.path(), cert.holderDocument(), q.registration));
    const QUrl url = m_endpoints.url(QString::fromLatin1(kDistService), QStringLiteral("AN"), m_environment);
    const QString wsdl = QString::fromLatin1(kDistWsdl), op = QString::fromLatin1(kDistOperation);
    const SoapTransport::Response r =
        m_transport.post(url, wsdl + QLatin1Char('/') + op, soap::envelope(wsdl, op, QStringLiteral("cteDadosMsg"), request));
    soap::Answer a;
    try {
        a = soap::read(r.body, op + QStringLiteral("Result"));
    } catch (const std::exception &e) {
        if (r.status != 200)
            throw failure(QStringLiteral("HTTP %1 de %2").arg(r.status).arg(url.host()));
        throw;
    }
    if (a.fault)
        throw failure(QStringLiteral("falha SOAP de %1 (HTTP %2): %3").arg(url.host()).arg(r.status).arg(a.faultText));
    if (r.status != 200)
        throw failure(QStringLiteral("HTTP %1 de %2").arg(r.status).arg(url.host()));
    if (a.contentRoot != QLatin1String("retDistDFeInt"))
        throw failure(QStringLiteral("a resposta de %1 não é um retDistDFeInt (<%2>)").arg(url.host(), a.contentRoot));
    return a.content;
}

QByteArray SefazAuthority::eventoCTe(const QByteArray &)
{
    throw failure(QStringLiteral("o envio de eventos à SEFAZ real ainda não está disponível neste servidor"));
}
