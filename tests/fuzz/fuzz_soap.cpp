// libFuzzer target: a SOAP 1.2 answer of the authority's web services, as the server
// reads it: the envelope, a fault, the result's message and its bytes as received.
#include "authority/sefaz/Soap.h"

#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray xml(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const char *result : {"cteDistDFeInteresseResult", "cteRecepcaoEventoResult"}) {
        const QString element = QString::fromLatin1(result);
        try {
            soap::read(xml, element);
        } catch (const std::exception &) {
        }
        soap::innerBytes(xml, element);
    }
    try {
        soap::requestMessage(xml, QStringLiteral("cteDadosMsg"));
    } catch (const std::exception &) {
    }
    return 0;
}
