// libFuzzer target: the server's frame reader and request decoder.
#include "Frame.h"

#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    wire::FrameReader reader(1 << 20);
    // The input as one stream, fed in two pieces, then each frame decoded as the server does.
    const size_t cut = size / 3;
    try {
        reader.feed(reinterpret_cast<const char *>(data), qsizetype(cut));
        reader.feed(reinterpret_cast<const char *>(data) + cut, qsizetype(size - cut));
        QByteArray payload;
        while (reader.next(payload)) {
            try {
                wire::decodeRequest(payload);
            } catch (const std::exception &) {
            }
        }
    } catch (const std::exception &) {
    }
    // And the input as a payload on its own.
    try {
        wire::decodeRequest(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    } catch (const std::exception &) {
    }
    return 0;
}
