#pragma once
// SOAP 1.2 envelopes of the authority's web services: the fiscal message goes, as it
// is, inside <operation xmlns=wsdl><dataElement>, or inside <dataElement xmlns=wsdl>
// right under the Body where the WSDL has no operation element; the answer is the first
// element inside the result element, or a fault.
#include <QByteArray>
#include <QString>

namespace soap {

inline constexpr char kEnvelopeNs[] = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr char kSoap11Ns[] = "http://schemas.xmlsoap.org/soap/envelope/";

// An empty `operation` puts the data element right under the Body.
QByteArray envelope(const QString &wsdlNs, const QString &operation, const QString &dataElement, const QByteArray &message);

struct Answer {
    bool fault = false;
    QString faultText;  // "code: reason" of a fault
    QByteArray content; // the message inside the result element
    QString contentRoot; // its local name
};
// Throws std::runtime_error when `xml` is not a SOAP 1.2 envelope with a body (a SOAP
// 1.1 fault is read as a fault).
Answer read(const QByteArray &xml, const QString &resultElement);

// The bytes of the first element inside `element` exactly as the message carries
// them (a signature over them stays verifiable); empty when they do not stand alone as a
// document (a namespace prefix declared outside them).
QByteArray innerBytes(const QByteArray &xml, const QString &element);

// The inner message of a request envelope (what the authority side reads).
QByteArray requestMessage(const QByteArray &xml, const QString &dataElement);

} // namespace soap
