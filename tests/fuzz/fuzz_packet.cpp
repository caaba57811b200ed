// libFuzzer target: the server's data packet reader (the list DownloadXML receives).
#include "Packet.h"

#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        wire::decodePacket(TDataPacket{QByteArray(reinterpret_cast<const char *>(data), qsizetype(size))});
    } catch (const std::exception &) {
    }
    return 0;
}
