#pragma once
// The national CT-e distribution service, reached over SOAP 1.2 with the company's
// certificate. Read-only after construction: safe from several threads at once.
#include "Authority.h"
#include "Endpoints.h"
#include "SoapTransport.h"

class SefazAuthority : public AuthoritySource {
public:
    SefazAuthority(SoapTransport transport, Endpoints endpoints, Endpoints::Environment environment);

    QByteArray distDFeInt(const QByteArray &request) override;
    QByteArray eventoCTe(const QByteArray &request) override;
    QString tpAmb() const override { return QString::number(int(m_environment)); }

    static constexpr char kDistService[] = "CTeDistribuicaoDFe";
    static constexpr char kDistWsdl[] = "http://www.portalfiscal.inf.br/cte/wsdl/CTeDistribuicaoDFe";
    static constexpr char kDistOperation[] = "cteDistDFeInteresse";

private:
    SoapTransport m_transport;
    Endpoints m_endpoints;
    Endpoints::Environment m_environment;
};
