// libFuzzer target: a stored document read for its fields, its leaves and without its
// declaration, as the server and the downloads read it.
#include "authority/Xml.h"

#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray xml(reinterpret_cast<const char *>(data), qsizetype(size));
    xmlutil::withoutDeclaration(xml);
    try {
        xmlutil::leaves(xml);
        xmlutil::readProcCte(xml);
    } catch (const std::exception &) {
    }
    return 0;
}
