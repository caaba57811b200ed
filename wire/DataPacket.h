#pragma once
// The data packet as a value (its encoded bytes) and the field model it carries; see
// Packet.h for its layout, writer and decoder.
#include <QByteArray>
#include <QMetaType>
#include <QString>

struct TDataPacket {
    QByteArray cbor; // the whole tagged item, ready to splice into a message
    // A large packet read from a message is a view into the message's bytes, which this keeps.
    QByteArray message{};
    bool isEmpty() const { return cbor.isEmpty(); }
    friend bool operator==(const TDataPacket &a, const TDataPacket &b) { return a.cbor == b.cbor; }
};
Q_DECLARE_METATYPE(TDataPacket)

namespace wire {

enum class PacketType { Text, FixedText, Float, Blob };

struct PacketField {
    QString name;
    PacketType type = PacketType::Text;
    int size = 0;
};

const char *packetTypeName(PacketType t);
bool packetTypeFromName(const QByteArray &name, PacketType &out);

} // namespace wire
