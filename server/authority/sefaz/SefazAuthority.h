#pragma once
// The real authority over SOAP 1.2 with the company's certificate: the national CT-e
// distribution service, and the event reception of the authorizer that serves the
// CT-e's state. Read-only after construction: safe from several threads at once.
#include "authority/Authority.h"
#include "Endpoints.h"
#include "SoapTransport.h"

#include <memory>

class XmlSigner;

class SefazAuthority : public AuthoritySource {
public:
    // `signer`: the company's key and certificate, for the events.
    SefazAuthority(SoapTransport transport, Endpoints endpoints, Endpoints::Environment environment,
                   std::shared_ptr<const XmlSigner> signer = {});

    QByteArray distDFeInt(const QByteArray &request) override;
    QByteArray eventoCTe(const QByteArray &request) override;
    QByteArray prepareEvent(const evento::Disagreement &d) override;
    QString tpAmb() const override { return QString::number(int(m_environment)); }
    QDateTime certificateExpiry() const override { return m_transport.identity().certificate().expiryDate(); }

    static constexpr char kDistService[] = "CTeDistribuicaoDFe";
    static constexpr char kDistWsdl[] = "http://www.portalfiscal.inf.br/cte/wsdl/CTeDistribuicaoDFe";
    static constexpr char kDistOperation[] = "cteDistDFeInteresse";
    static constexpr char kEventService[] = "CTeRecepcaoEventoV4";
    static constexpr char kEventWsdl[] = "http://www.portalfiscal.inf.br/cte/wsdl/CTeRecepcaoEventoV4";
    static constexpr char kEventOperation[] = "cteRecepcaoEvento";
    // Each service's body as its WSDL has it: the distribution's message inside its
    // operation element, the event reception's cteDadosMsg right under the Body.
    enum class Body { InOperation, Bare };

private:
    // The message inside the answer: as received when `asReceived`, else as read.
    QByteArray call(const QUrl &url, const char *wsdl, const char *operation, Body body, const QByteArray &message,
                    const QString &expectedRoot, bool asReceived) const;

    SoapTransport m_transport;
    Endpoints m_endpoints;
    Endpoints::Environment m_environment;
    std::shared_ptr<const XmlSigner> m_signer;
};
