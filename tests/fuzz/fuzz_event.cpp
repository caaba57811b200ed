// libFuzzer target: the service-in-disagreement event and the authority's answer to it:
// the eventoCTe read as the authority reads it, the retEventoCTe read for its fields,
// and both kept in a procEventoCTe read again later for the protocol it cancels.
#include "authority/EventMessages.h"

#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray xml(reinterpret_cast<const char *>(data), qsizetype(size));
    try {
        evento::read(xml);
    } catch (const std::exception &) {
    }
    try {
        xmlutil::leaves(xml);
    } catch (const std::exception &) {
    }
    // Split in two: an event as sent and an answer as received.
    const qsizetype half = xml.size() / 2;
    try {
        xmlutil::leaves(evento::proc(xml.left(half), xml.mid(half)));
    } catch (const std::exception &) {
    }
    return 0;
}
