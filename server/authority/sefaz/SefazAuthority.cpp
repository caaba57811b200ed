#include "SefazAuthority.h"
#include "authority/DistMessages.h"
#include "Soap.h"
#include "authority/XmlSigner.h"

#include <stdexcept>

namespace {
std::runtime_error failure(const QString &text) { return std::runtime_error(text.toStdString()); }
} // namespace

SefazAuthority::SefazAuthority(SoapTransport transport, Endpoints endpoints, Endpoints::Environment environment,
                               std::shared_ptr<const XmlSigner> signer)
    : m_transport(std::move(transport)), m_endpoints(std::move(endpoints)), m_environment(environment),
      m_signer(std::move(signer))
{
}

QByteArray SefazAuthority::call(const QUrl &url, const char *wsdlName, const char *operation, Body body,
                                const QByteArray &message, const QString &expectedRoot, bool asReceived) const
{
    const QString wsdl = QString::fromLatin1(wsdlName), op = QString::fromLatin1(operation);
    const QByteArray envelope = soap::envelope(wsdl, body == Body::Bare ? QString() : op, QStringLiteral("cteDadosMsg"), message);
    const SoapTransport::Response r = m_transport.post(url, wsdl + QLatin1Char('/') + op, envelope);
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
    if (a.contentRoot != expectedRoot)
        throw failure(QStringLiteral("a resposta de %1 não é um %2 (<%3>)").arg(url.host(), expectedRoot, a.contentRoot));
    if (!asReceived)
        return a.content;
    const QByteArray raw = soap::innerBytes(r.body, op + QStringLiteral("Result"));
    return raw.isEmpty() ? a.content : raw;
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
    return call(url, kDistWsdl, kDistOperation, Body::InOperation, request, QStringLiteral("retDistDFeInt"), false);
}

QByteArray SefazAuthority::prepareEvent(const evento::Disagreement &d)
{
    const CompanyCertificate &cert = m_transport.identity();
    if (!cert.covers(d.author))
        throw failure(QStringLiteral("o certificado %1 é de %2 e não assina eventos da inscrição %3")
                          .arg(cert.path(), cert.holderDocument(), d.author));
    if (!m_signer)
        throw failure(QStringLiteral("sem certificado para assinar o evento"));
    const QString authorizer = m_endpoints.authorizer(d.key.left(2));
    const bool ascii = m_endpoints.asciiOnly(authorizer);
    if (ascii && d.type == QLatin1String(evento::kType)) {
        // Folding may drop characters: the authorizer's own length rule is checked here, before a rejection.
        const qsizetype n = evento::foldAccents(d.reason).trimmed().size();
        if (n < 15 || n > 255)
            throw failure(QStringLiteral("sem acentos, como %1 exige, o motivo fica com %2 caracteres (de 15 a 255)")
                              .arg(authorizer).arg(n));
    }
    // Signed once and sent as signed: no byte of it is written again.
    return evento::withoutDeclaration(m_signer->sign(evento::build(d, ascii), evento::id(d)));
}

QByteArray SefazAuthority::eventoCTe(const QByteArray &request)
{
    const evento::Fields f = evento::read(request);
    const QUrl url = m_endpoints.authorizerUrl(QString::fromLatin1(kEventService), f.key.left(2), m_environment);
    // As received: the answer goes into procEventoCTe byte for byte.
    return call(url, kEventWsdl, kEventOperation, Body::Bare, request, QStringLiteral("retEventoCTe"), true);
}
