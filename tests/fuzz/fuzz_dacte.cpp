// libFuzzer target: a stored document of any kind (CT-e, CT-e OS, GTV-e, CT-e
// Simplificado, with or without its protocol) read for the auxiliary document.
#include "Document.h"

#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        const dacte::Document d = dacte::read(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
        // The display forms run over what the document carried.
        dacte::keyInGroups(d.key);
        dacte::dateTime(d.issuedAt);
        dacte::amount(d.totalService);
        dacte::registration(d.issuer.registration);
    } catch (const std::exception &) {
    }
    return 0;
}
