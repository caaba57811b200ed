#include "DataPacket.h"

namespace wire {

const char *packetTypeName(PacketType t)
{
    switch (t) {
    case PacketType::Text: return "text";
    case PacketType::FixedText: return "fixedtext";
    case PacketType::Float: return "float";
    case PacketType::Blob: return "blob";
    }
    return "text";
}

bool packetTypeFromName(const QByteArray &name, PacketType &out)
{
    for (PacketType t : {PacketType::Text, PacketType::FixedText, PacketType::Float, PacketType::Blob}) {
        if (name == packetTypeName(t)) {
            out = t;
            return true;
        }
    }
    return false;
}

} // namespace wire
