// libFuzzer target: the authority's distribution answer, as the server reads it: the
// retDistDFeInt, each docZip's base64 and gzip, and the document inside.
#include "authority/DistMessages.h"
#include "authority/Xml.h"

#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        const dist::Answer a = dist::readAnswer(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
        for (const dist::DocZip &d : a.docs) {
            try {
                const QByteArray xml = xmlutil::gunzip(QByteArray::fromBase64(d.content));
                xmlutil::readProcCte(xml);
            } catch (const std::exception &) {
            }
        }
    } catch (const std::exception &) {
    }
    return 0;
}
