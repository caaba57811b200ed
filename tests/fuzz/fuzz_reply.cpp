// libFuzzer target: the client's reply decoder.
#include "Frame.h"

#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        wire::decodeReply(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    } catch (const std::exception &) {
    }
    return 0;
}
